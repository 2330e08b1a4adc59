#include "kitpack/host/files.h"

namespace kitpack {

namespace {

// Runs `step`, giving a failure of the payload library's as KitError, whose
// text it already is.
template <typename Step>
void AsKitError(Step&& step) {
  try {
    step();
  } catch (const ldr::payload::Failure& failure) {
    throw KitError(failure.what());
  }
}

}  // namespace

NewFileBelow::NewFileBelow(const std::string& root, const std::vector<std::string>& parts) {
  AsKitError([&] { file_ = std::make_unique<ldr::payload::NewFileBelow>(root, parts); });
}

NewFileBelow::~NewFileBelow() = default;

void NewFileBelow::Write(const unsigned char* data, size_t size) {
  AsKitError([&] { file_->Write(data, size); });
}

void NewFileBelow::Finish() {
  AsKitError([&] { file_->Finish(); });
}

}  // namespace kitpack
