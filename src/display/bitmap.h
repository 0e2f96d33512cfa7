#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qelm {

/// An image of 0x00RRGGBB pixels, top row first, rows left to right without padding.
struct Bitmap {
  /// File it was read from; empty for a bitmap made in memory.
  std::string path;
  /// Pixels per row, greater than 0 (0 only for Solid of a non-positive size).
  int32_t width = 0;
  /// Rows, greater than 0 (0 only for Solid of a non-positive size).
  int32_t height = 0;
  /// width x height pixels; pixel (x, y) at y * width + x.
  std::vector<uint32_t> pixels;
};

/// Reads a bottom-up, uncompressed, 24-bit BMP file. Throws a text (std::string):
/// "Could not open "<path>" for reading", or "Error loading bitmap from <path>: <reason>".
Bitmap loadBitmap(const std::string& path);

/// A new bitmap with the size and pixels of `source` and an empty path.
std::unique_ptr<Bitmap> copyBitmap(const Bitmap& source);

/// A new width x height bitmap of `pixel` (0x00RRGGBB); a non-positive size gives 0 x 0.
std::unique_ptr<Bitmap> solidBitmap(int32_t width, int32_t height, uint32_t pixel);

/// Copies the top-left `columns` x `rows` block of `source` to (x, y) of `destination`; copies
/// nothing unless the block lies inside both bitmaps (and x, y, rows, columns are not negative).
void pasteBitmap(const Bitmap& source, int32_t rows, Bitmap& destination, int32_t x, int32_t y,
                 int32_t columns);

/// Frees a bitmap made by copyBitmap or solidBitmap (the same as letting it go out of scope).
inline void releaseBitmap(std::unique_ptr<Bitmap> bitmap) {
  bitmap.reset();
}

/// Pixel value of the stand-in served for artwork that did not load (palette red).
inline constexpr uint32_t kMissingBitmapPixel = 0xFF0000;

/// Loaded bitmaps by file name, read from one folder once per name. A name that fails to load
/// is served a shared 1 x 1 red bitmap, and is not tried again.
class BitmapCache {
 public:
  /// `folder` gets a trailing "/" unless it is empty or already has one.
  explicit BitmapCache(std::string folder);
  BitmapCache(const BitmapCache&) = delete;
  BitmapCache& operator=(const BitmapCache&) = delete;

  /// The bitmap of `name` (folder + name); never fails. Owned by the cache.
  const Bitmap& get(const std::string& name);
  /// The folder names are looked up in, ending in "/" unless empty.
  const std::string& folder() const { return folder_; }
  /// Number of names asked for so far (loaded or not).
  std::size_t size() const { return entries_.size(); }

 private:
  std::string folder_;
  std::unique_ptr<Bitmap> fallback_;
  std::map<std::string, std::unique_ptr<Bitmap>> loaded_;
  std::map<std::string, const Bitmap*> entries_;
};

}  // namespace qelm
