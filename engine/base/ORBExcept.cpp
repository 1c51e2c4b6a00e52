// Message forms of the engine's exceptions.
#include "orb/ORBExcept.h"

namespace orb {

EORBException::EORBException(std::string_view text, int32_t nativeCode)
    : text_(text), code_(nativeCode) {
  message_ = text_ + " - Native error: " + ORBFormat("%.5d", nativeCode);
}

EORBException::EORBException(std::string text, int32_t nativeCode, FormattedTag)
    : text_(std::move(text)), code_(nativeCode) {
  message_ = text_ + " - Native error: " + ORBFormat("%5d", nativeCode);
}

namespace {

std::string EngineErrorText(int32_t code, std::string_view given) {
  switch (code) {
    case -1: return "Error adding record";
    case -2: return "Error updating record";
    case -3: return "Error deleting record";
    case -4: return "Error updating record - record was modified by other process";
    case -5: return "Error deleting record - record was modified by other process";
    case -6: return "Error updating record - record was deleted by other process";
    case -7: return "Error deleting record - record was deleted by other process";
    case -8: return std::string(given);
    case -9: return "Cannot update record in temporary mode";
    case -10: return "Cannot delete record in temporary mode";
    case -11: return "Cannot cancel operation in temporary mode";
    case -12: return "Record is locked";
    case -13: return "Table is locked";
    default: return {};
  }
}

}  // namespace

EORBEngineError::EORBEngineError(int32_t code, std::string_view text)
    : code_(code), nativeText_(EngineErrorText(code, text)) {
  message_ = "Orbital Engine Error # " + std::to_string(code) + " " + nativeText_;
}

}  // namespace orb
