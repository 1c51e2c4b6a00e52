// Date patterns of TODATE and TOSTRING: tokens such as YYYY, MM, DD, HH24,
// NN, SS and AMPM with quoted or plain literal text between them.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orb {

class TORBDateFormat {
 public:
  TORBDateFormat() = default;
  explicit TORBDateFormat(std::string_view pattern);

  // Writes a day number (ORBVariant's numbering) and milliseconds of the day.
  std::string Format(int32_t dayNumber, int32_t ms) const;
  // Reads a text; without a full date the date part is 1899-12-30. Raises
  // "'%s' is not a valid date" when the text does not fit the pattern.
  void Parse(std::string_view text, int32_t* dayNumber, int32_t* ms) const;
  // The longest text Format can write.
  int32_t MaxLength() const;
  bool HasDateTokens() const;
  bool HasTimeTokens() const;
  bool Empty() const { return items_.empty(); }

 private:
  struct Item {
    int Code;  // -1: literal text
    std::string Text;
  };
  std::vector<Item> items_;
};

}  // namespace orb
