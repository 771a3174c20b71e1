// The differential fuzzer of the two predictions: every input is a dump file, and the pre-flight's
// row for it must agree with the dry run on it (tests/support/prediction_diff.h); a difference
// aborts, so that the fuzzer keeps the input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/prediction_diff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/fuzz-prediction-" + std::to_string(::getpid()) + ".bin";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) return 0;
  zimsim::Options options;
  options.assume2x = size < 2 || (data[size - 2] & 1) == 0;
  const std::string difference = tarn_test::PredictionsDiffer(path, options);
  if (!difference.empty()) {
    std::fprintf(stderr, "the predictions differ: %s\n", difference.c_str());
    std::abort();
  }
  return 0;
}
