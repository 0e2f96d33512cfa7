#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "model/parameter.h"

namespace qelm {
namespace {

struct Case {
  std::unique_ptr<Parameter> parameter;
  Value value;
  std::string text;
};

Case makeCase(int which) {
  Case c;
  switch (which) {
    case 0:
      c.parameter = Parameter::makeOpenGear(1, "Int");
      c.parameter->setIntegerRange(-32767, 32767, 1);
      c.value = Value::ofInt(-1234);
      c.text = "-1234";
      break;
    case 1:
      c.parameter = Parameter::makeGlobal(1, "Int32", "");
      c.parameter->setInt32Range(0, 2147483647, 1);
      c.value = Value::ofInt(123456789);
      c.text = "123456789";
      break;
    case 2:
      c.parameter = Parameter::makeOpenGear(1, "Choice");
      for (int k = 0; k < 16; ++k) {
        c.parameter->addChoice(k + 1, k * 10, "C" + std::to_string(k), "Choice");
      }
      c.value = Value::ofInt(70);
      c.text = "8";
      break;
    case 3:
      c.parameter = Parameter::makeOpenGear(1, "Float");
      c.parameter->setFloatRange(-60, 0, 0.1);
      c.value = Value::ofFloat(-20.5f);
      c.text = "-20.5";
      break;
    case 4:
      c.parameter = Parameter::makeGlobal(1, "Time", "");
      c.parameter->setString(10);
      c.parameter->setStringFormat(StringFormat::kTimeOfDay);
      c.value = Value::ofText("12:34:56");
      c.text = "12:34:56";
      break;
    case 5:
      c.parameter = Parameter::makeGlobal(1, "IP", "");
      c.parameter->setIpAddressType();
      c.value = Value::ofAddress(0xC0A80101u);
      c.text = "192.168.1.1";
      break;
    default:
      c.parameter = Parameter::makeGlobal(1, "UInt32", "");
      c.parameter->setUInt32Range(0, 4000000000u, 7);
      c.value = Value::ofUnsigned(3000000000u);
      c.text = "3000000000";
      break;
  }
  return c;
}

const char* const kTypeNames[] = {"Int",          "Int32",     "Choice", "Float",
                                  "String(time)", "IpAddress", "UInt32"};

void formatValueBench(benchmark::State& state) {
  const Case c = makeCase(static_cast<int>(state.range(0)));
  state.SetLabel(kTypeNames[state.range(0)]);
  for (auto _ : state)
    benchmark::DoNotOptimize(c.parameter->formatValue(c.value));
}

void parseValueBench(benchmark::State& state) {
  const Case c = makeCase(static_cast<int>(state.range(0)));
  state.SetLabel(kTypeNames[state.range(0)]);
  for (auto _ : state)
    benchmark::DoNotOptimize(c.parameter->parseValue(c.text));
}

void stepValueBench(benchmark::State& state) {
  const Case c = makeCase(static_cast<int>(state.range(0)));
  state.SetLabel(kTypeNames[state.range(0)]);
  Value v = c.value;
  int32_t direction = 1;
  for (auto _ : state) {
    // Alternate directions so the value stays mid-range instead of sitting at a limit.
    benchmark::DoNotOptimize(c.parameter->stepValue(v, direction));
    direction = -direction;
  }
}

BENCHMARK(formatValueBench)->DenseRange(0, 6);
BENCHMARK(parseValueBench)->DenseRange(0, 6);
BENCHMARK(stepValueBench)->DenseRange(0, 6);

}  // namespace
}  // namespace qelm
