#include "fuzz/fuzz_reader.h"

RASTEL_PAGED_READER_FUZZER("ICO")
