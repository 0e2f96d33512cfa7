#include "display/bitmap.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "platform/stdio_file.h"
#include "text/text.h"

namespace qelm {

namespace {

using platform::File;

// The fields read from the start of the file, in file order.
struct BmpHeader {
  uint32_t magic = 0;
  uint32_t fileSize = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  uint32_t pixelOffset = 0;
  uint32_t headerSize = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t planes = 0;
  uint32_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
};

// Reads `size` little-endian bytes one at a time; a short read names the field.
uint32_t readField(std::FILE* file, int size, const char* name) {
  uint32_t value = 0;
  for (int i = 0; i < size; ++i) {
    const int c = std::fgetc(file);
    if (c == EOF) throw formattedText("could not read %s", name);
    value |= static_cast<uint32_t>(c) << (8 * i);
  }
  return value;
}

BmpHeader readHeader(std::FILE* file) {
  BmpHeader h;
  h.magic = readField(file, 2, "magic number");
  h.fileSize = readField(file, 4, "file size");
  h.reserved1 = readField(file, 2, "reserved-1");
  h.reserved2 = readField(file, 2, "reserved-2");
  h.pixelOffset = readField(file, 4, "offset to pixels");
  h.headerSize = readField(file, 4, "header size");
  h.width = static_cast<int32_t>(readField(file, 4, "width"));
  h.height = static_cast<int32_t>(readField(file, 4, "height"));
  h.planes = readField(file, 2, "planes");
  h.bitCount = readField(file, 2, "bit count");
  h.compression = readField(file, 4, "compression");
  h.imageSize = readField(file, 4, "image size");
  return h;
}

// Reads exactly `size` bytes. The buffer grows with what actually arrives, so a header that
// claims gigabytes costs no more memory than the file holds.
std::vector<uint8_t> readPixelData(std::FILE* file, uint32_t size) {
  constexpr std::size_t kChunk = 1 << 16;
  std::vector<uint8_t> data;
  while (data.size() < size) {
    const std::size_t want = std::min<std::size_t>(kChunk, size - data.size());
    const std::size_t have = data.size();
    data.resize(have + want);
    const std::size_t got = std::fread(data.data() + have, 1, want, file);
    if (got != want) throw formattedText("could not read %u bytes", size);
  }
  return data;
}

Bitmap decode(std::FILE* file) {
  const BmpHeader h = readHeader(file);
  if (h.magic != 0x4D42) throw std::string("magic number");
  if (h.height < 0) throw std::string("top-down bitmaps are not supported");
  if (h.width <= 0 || h.height == 0) throw std::string("bitmap dimensions are invalid");
  if (h.planes != 1 || h.bitCount != 24 || h.compression != 0)
    throw std::string("bitmap is in unsupported format");

  // Seeking past the end succeeds on a regular file but leaves no first pixel to find.
  struct stat info {};
  const bool knownSize = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
  if ((knownSize && h.pixelOffset > static_cast<uint64_t>(info.st_size)) ||
      std::fseek(file, static_cast<long>(h.pixelOffset), SEEK_SET) != 0)
    throw std::string("could not seek to first pixel");

  // Rows must hold at least three bytes per pixel, or the pixels would be read from past the
  // data.
  const uint64_t height = static_cast<uint32_t>(h.height);
  const uint64_t width = static_cast<uint32_t>(h.width);
  if (h.imageSize % height != 0 || h.imageSize / height < 3 * width)
    throw std::string("image size disagrees with width and height");
  const uint64_t rowLength = h.imageSize / height;

  const std::vector<uint8_t> data = readPixelData(file, h.imageSize);
  Bitmap bitmap;
  bitmap.width = h.width;
  bitmap.height = h.height;
  bitmap.pixels.resize(width * height);
  for (uint64_t i = 0; i < height; ++i) {
    const uint8_t* from = data.data() + (height - 1 - i) * rowLength;
    uint32_t* to = bitmap.pixels.data() + i * width;
    for (uint64_t x = 0; x < width; ++x, from += 3)
      to[x] = uint32_t{from[2]} << 16 | uint32_t{from[1]} << 8 | from[0];
  }
  return bitmap;
}

}  // namespace

Bitmap loadBitmap(const std::string& path) {
  std::string failure;
  Bitmap bitmap;
  {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw formattedText("Could not open \"%s\" for reading", path.c_str());
    try {
      bitmap = decode(file.get());
    } catch (const std::string& message) {
      failure = message;
    }
  }  // the file is closed before the failure is reported
  if (!failure.empty())
    throw formattedText("Error loading bitmap from %s: %s", path.c_str(), failure.c_str());
  bitmap.path = path;
  return bitmap;
}

std::unique_ptr<Bitmap> copyBitmap(const Bitmap& source) {
  auto copy = std::make_unique<Bitmap>();
  copy->width = source.width;
  copy->height = source.height;
  copy->pixels = source.pixels;
  return copy;
}

std::unique_ptr<Bitmap> solidBitmap(int32_t width, int32_t height, uint32_t pixel) {
  auto bitmap = std::make_unique<Bitmap>();
  if (width <= 0 || height <= 0) return bitmap;
  bitmap->width = width;
  bitmap->height = height;
  bitmap->pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), pixel);
  return bitmap;
}

void pasteBitmap(const Bitmap& source, int32_t rows, Bitmap& destination, int32_t x, int32_t y,
                 int32_t columns) {
  if (x < 0 || y < 0 || rows < 0 || columns < 0) return;
  if (source.width < columns || source.height < rows) return;
  if (int64_t{destination.width} < int64_t{x} + columns ||
      int64_t{destination.height} < int64_t{y} + rows)
    return;
  for (int32_t r = 0; r < rows; ++r) {
    const uint32_t* from = source.pixels.data() + static_cast<std::size_t>(r) * source.width;
    uint32_t* to =
        destination.pixels.data() + static_cast<std::size_t>(y + r) * destination.width + x;
    std::copy(from, from + columns, to);
  }
}

BitmapCache::BitmapCache(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

const Bitmap& BitmapCache::get(const std::string& name) {
  if (const auto it = entries_.find(name); it != entries_.end()) return *it->second;
  const Bitmap* served = nullptr;
  try {
    auto bitmap = std::make_unique<Bitmap>(loadBitmap(folder_ + name));
    served = bitmap.get();
    loaded_[name] = std::move(bitmap);
  } catch (const std::string&) {
    // Missing artwork shows as one red pixel; the view keeps working.
    if (!fallback_) fallback_ = solidBitmap(1, 1, kMissingBitmapPixel);
    served = fallback_.get();
  }
  entries_[name] = served;
  return *served;
}

}  // namespace qelm
