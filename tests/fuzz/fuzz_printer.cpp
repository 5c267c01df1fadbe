// Any result the engine could hand the printer: names and values of any
// bytes, NULLs anywhere, rows without values, several statements after one
// reset. It never reads outside what it is given.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

// Texts owned for the call, as exact-size copies so that a read past the end
// of any of them is caught.
struct cells {
  std::vector<std::unique_ptr<char[]>> owned;
  std::vector<char*> pointers;

  void add(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) {
      pointers.push_back(nullptr);
      return;
    }
    std::string text = input.ConsumeRandomLengthString(64);
    owned.push_back(std::make_unique<char[]>(text.size() + 1));
    std::copy(text.c_str(), text.c_str() + text.size() + 1, owned.back().get());
    pointers.push_back(owned.back().get());
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quiet_standard_streams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  print_row(reinterpret_cast<void*>(1), 0, nullptr, nullptr);
  while (input.remaining_bytes() > 0) {
    const int columns = input.ConsumeIntegralInRange(1, 8);
    cells names;
    for (int i = 0; i < columns; ++i) names.add(input);
    const int rows = input.ConsumeIntegralInRange(0, 4);
    for (int r = 0; r < rows; ++r) {
      cells values;
      for (int i = 0; i < columns; ++i) values.add(input);
      print_row(nullptr, columns, values.pointers.data(), names.pointers.data());
    }
    // The engine's empty-result call: names, and no values at all.
    if (rows == 0) print_row(nullptr, columns, nullptr, names.pointers.data());
  }
  return 0;
}
