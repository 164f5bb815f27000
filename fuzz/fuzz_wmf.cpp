#include "fuzz/fuzz_reader.h"

RASTEL_READER_FUZZER("WMF")
