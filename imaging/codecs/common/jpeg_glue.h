#pragma once

// Pieces every user of libjpeg in the engine needs: an error manager that
// turns libjpeg's fatal errors into a longjmp with the message kept, an owner
// of a compressor writing into memory and an owner of a decompressor.
//
// libjpeg reports fatal errors through error_exit, which must not return. The
// functions that arm the jump are plain C-style code with no C++ objects that
// need destruction, so nothing is skipped by the jump; the C++ Error is thrown
// only after it has landed.

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace rastel::imaging::jpegglue {

struct ErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg hands us a pointer to it
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool sawEndOfFile;  // the source ran dry and libjpeg inserted an EOI
};

using EmitMessage = void (*)(j_common_ptr cinfo, int level);

// Formats the pending message and jumps back to the armed setjmp.
[[noreturn]] void onErrorExit(j_common_ptr cinfo);

// Installs our handlers: fatal errors jump, nothing is printed, and warnings
// go to `emit`, which decides which of them are fatal.
void setupErrors(ErrorManager& err, EmitMessage emit);

// A compressor writing into memory (jpeg_mem_dest).
struct Encoder {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    unsigned char* out;
    unsigned long outSize;
    bool created;
};

// Owns an Encoder: releases the libjpeg object and the output buffer on every
// path out.
class EncoderHolder {
public:
    explicit EncoderHolder(EmitMessage emit);
    ~EncoderHolder();
    EncoderHolder(const EncoderHolder&) = delete;
    EncoderHolder& operator=(const EncoderHolder&) = delete;
    Encoder* get() { return e_.get(); }

private:
    std::unique_ptr<Encoder> e_;
};

// Owns a decompressor state `D` (libjpeg's cinfo, an ErrorManager err and a
// flag `created`, all zeroed first) with our error handling installed, and
// releases the libjpeg object on every path out.
template <typename D>
class DecoderHolder {
public:
    explicit DecoderHolder(EmitMessage emit) : d_(std::make_unique<D>()) {
        std::memset(d_.get(), 0, sizeof(D));
        setupErrors(d_->err, emit);
        d_->cinfo.err = &d_->err.pub;
    }
    ~DecoderHolder() {
        if (d_->created) jpeg_destroy_decompress(&d_->cinfo);
    }
    DecoderHolder(const DecoderHolder&) = delete;
    DecoderHolder& operator=(const DecoderHolder&) = delete;
    D* get() { return d_.get(); }

private:
    std::unique_ptr<D> d_;
};

}  // namespace rastel::imaging::jpegglue
