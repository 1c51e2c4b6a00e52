// The engine's exceptions: EORBException (every engine failure, with its
// native error number) and EORBEngineError (cursor result codes).
#pragma once
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "orb/ORBFormat.h"

namespace orb {

class EORBException : public std::exception {
 public:
  // Plain text: "<text> - Native error: 00042".
  EORBException(std::string_view text, int32_t nativeCode);

  // Formatted text: "<formatted> - Native error: %5d"; when the arguments do
  // not fit the format, the text is the format followed by " Arguments are invalid!".
  template <class... A>
  static EORBException Fmt(int32_t nativeCode, std::string_view fmt, const A&... args) {
    std::string text;
    try {
      text = ORBFormat(fmt, args...);
    } catch (const EORBFormatError&) {
      text = std::string(fmt) + " Arguments are invalid!";
    }
    return EORBException(std::move(text), nativeCode, FormattedTag{});
  }

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  // The text without the native error suffix.
  const std::string& Text() const { return text_; }
  int32_t NativeErrorCode() const { return code_; }

 private:
  struct FormattedTag {};
  EORBException(std::string text, int32_t nativeCode, FormattedTag);

  std::string text_;
  std::string message_;
  int32_t code_;
};

// Raised by the dataset components for a non-zero cursor result code.
class EORBEngineError : public std::exception {
 public:
  EORBEngineError(int32_t code, std::string_view text = {});
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  int32_t ErrorCode() const { return code_; }
  const std::string& NativeText() const { return nativeText_; }

 private:
  int32_t code_;
  std::string nativeText_;
  std::string message_;
};

}  // namespace orb
