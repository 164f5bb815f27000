#include "imaging/codecs/common/jpeg_glue.h"

#include <cstdlib>
#include <cstring>

namespace rastel::imaging::jpegglue {

namespace {

// libjpeg would print to stderr; the engine reports through Error only.
void onOutputMessage(j_common_ptr) {}

}  // namespace

void onErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void setupErrors(ErrorManager& err, EmitMessage emit) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = onErrorExit;
    err.pub.output_message = onOutputMessage;
    err.pub.emit_message = emit;
    err.message[0] = '\0';
    err.sawEndOfFile = false;
}

EncoderHolder::EncoderHolder(EmitMessage emit) : e_(std::make_unique<Encoder>()) {
    std::memset(e_.get(), 0, sizeof(Encoder));
    setupErrors(e_->err, emit);
    e_->cinfo.err = &e_->err.pub;
}

EncoderHolder::~EncoderHolder() {
    if (e_->created) jpeg_destroy_compress(&e_->cinfo);
    std::free(e_->out);  // jpeg_mem_dest allocates with malloc
}

}  // namespace rastel::imaging::jpegglue
