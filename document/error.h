// The one error of scene documents and the files read like them: the file, the
// JSON pointer of the offending value and what is wrong. A leaf, so that the
// readers and the loader can both throw it.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace scene {

class DocumentError : public std::runtime_error {
 public:
  // `pointer` is a JSON pointer ("" for the whole document); `message` says what is wrong.
  DocumentError(std::string file, std::string pointer, std::string message)
      : std::runtime_error(file + ": " + (pointer.empty() ? std::string("(document)") : pointer) + ": " +
                           message),
        file_(std::move(file)),
        pointer_(std::move(pointer)),
        message_(std::move(message)) {}
  const std::string& file() const { return file_; }
  const std::string& pointer() const { return pointer_; }
  const std::string& message() const { return message_; }

 private:
  std::string file_, pointer_, message_;
};

}  // namespace scene
