// Tokens, reserved words, SQL parameters and the tokenizer shared by filters,
// key searches and SQL statements.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tables/ORBVariant.h"

namespace orb {

enum TTokenType : uint8_t {
  ttNone = 0,  // the empty token past the end of a command
  ttWord = 1,
  ttString = 2,
  ttBracketedName = 3,
  ttInteger = 4,
  ttFloat = 5,
  ttReservedWord = 6,
  ttParameter = 7,
  ttLeftParen = 8,
  ttRightParen = 9,
  ttComma = 10,
  ttDot = 11,
};

// Reserved word codes: the index of the word in the reserved word table.
enum TReservedWord : int16_t {
  rwABSOLUTE, rwACTION, rwADD, rwALL, rwALLOCATE, rwALTER, rwAND, rwANY, rwARE, rwAS, rwASC, rwASSERTION,
  rwAT, rwAUTHORIZATION, rwAVG, rwBEGIN, rwBETWEEN, rwBIT, rwBIT_LENGTH, rwBOTH, rwBY, rwCASCADE, rwCASCADED,
  rwCASE, rwCAST, rwCATALOG, rwCHAR, rwCHARACTER, rwCHAR_LENGTH, rwCHARACTER_LENGTH, rwCHECK, rwCLOSE,
  rwCOALESCE, rwCOLLATE, rwCOLLATION, rwCOLUMN, rwCOMMIT, rwCONNECT, rwCONNECTION, rwCONSTRAINT,
  rwCONSTRAINTS, rwCONTINUE, rwCONVERT, rwCORRESPONDING, rwCOUNT, rwCREATE, rwCROSS, rwCURRENT,
  rwCURRENT_DATE, rwCURRENT_TIME, rwCURRENT_TIMESTAMP, rwCURRENT_USER, rwCURSOR, rwDATE, rwDAY, rwDEALLOCATE,
  rwDEC, rwDECIMAL, rwDECLARE, rwDEFAULT, rwDEFERRABLE, rwDEFERRED, rwDELETE, rwDESC, rwDESCRIBE,
  rwDESCRIPTOR, rwDIAGNOSTICS, rwDISCONNECT, rwDISTINCT, rwDOMAIN, rwDOUBLE, rwDROP, rwELSE, rwEND,
  rwEND_EXEC, rwESCAPE, rwEXCEPT, rwEXCEPTION, rwEXEC, rwEXECUTE, rwEXISTS, rwEXTERNAL, rwEXTRACT, rwFALSE,
  rwFETCH, rwFIRST, rwFLOAT, rwFOR, rwFOREIGN, rwFOUND, rwFROM, rwFULL, rwGET, rwGLOBAL, rwGO, rwGOTO,
  rwGRANT, rwGROUP, rwHAVING, rwHOUR, rwIDENTITY, rwIMMEDIATE, rwIN, rwINDICATOR, rwINITIALLY, rwINNER,
  rwINPUT, rwINSENSITIVE, rwINSERT, rwINT, rwINTEGER, rwINTERSECT, rwINTERVAL, rwINTO, rwIS, rwISOLATION,
  rwJOIN, rwKEY, rwLANGUAGE, rwLAST, rwLEADING, rwLEFT, rwLEVEL, rwLIKE, rwLOCAL, rwLOWER, rwMATCH, rwMAX,
  rwMEMORY, rwMIN, rwMINUS, rwMINUTE, rwMODULE, rwMONTH, rwNAMES, rwNATIONAL, rwNATURAL, rwNCHAR, rwNEXT,
  rwNO, rwNOT, rwNULL, rwNULLIF, rwNUMERIC, rwOCTET_LENGTH, rwOF, rwON, rwONLY, rwOPEN, rwOPTION, rwOR,
  rwORDER, rwOUTER, rwOUTPUT, rwOVERLAPS, rwPAD, rwPARTIAL, rwPOSITION, rwPRECISION, rwPREPARE, rwPRESERVE,
  rwPRIMARY, rwPRIOR, rwPRIVILEGES, rwPROCEDURE, rwPUBLIC, rwREAD, rwREAL, rwREFERENCES, rwRELATIVE,
  rwRESTRICT, rwREVOKE, rwRIGHT, rwROLLBACK, rwROWS, rwSCHEMA, rwSCROLL, rwSECOND, rwSECTION, rwSELECT,
  rwSESSION, rwSESSION_USER, rwSET, rwSIZE, rwSMALLINT, rwSOME, rwSPACE, rwSQL, rwSQLCODE, rwSQLERROR,
  rwSQLSTATE, rwSUBSTRING, rwSUM, rwSYSTEM_USER, rwTABLE, rwTEMPORARY, rwTHEN, rwTIME, rwTIMESTAMP,
  rwTIMEZONE_HOUR, rwTIMEZONE_MINUTE, rwTO, rwTOP, rwTRAILING, rwTRANSACTION, rwTRANSLATE, rwTRANSLATION,
  rwTRIM, rwTRUE, rwUNION, rwUNIQUE, rwUNKNOWN, rwUPDATE, rwUPPER, rwUSAGE, rwUSER, rwUSING, rwVALUE,
  rwVALUES, rwVARCHAR, rwVARYING, rwVIEW, rwWHEN, rwWHENEVER, rwWHERE, rwWITH, rwWORK, rwWRITE, rwYEAR,
  rwZONE, rwPASSWORD, rwBLOBBLOCKSIZE, rwBLOBCOMPRESSIONMODE, rwBLOBCOMPRESSIONALGORITHM, rwLASTAUTOINC,
  rwMODIFY, rwNEW, rwINDEX, rwNOCASE, rwLTRIM, rwRTRIM, rwPOS, rwLENGTH, rwSYSDATE, rwNOW, rwTODATE,
  rwTOSTRING, rwAUTOINDEXES, rwNOAUTOINDEXES, rwINCREMENT, rwLASTVALUE, rwMAXVALUE, rwMINVALUE, rwCYCLED,
  rwNOMAXVALUE, rwNOMINVALUE, rwNOCYCLED, rwINITIALVALUE, rwSTARTVALUE, rwRENAME, rwSTART, rwFLUSH,
  rwAUTOINC, rwMIMETOBIN, rwROWNUM, rwIF, rwTRUNCATE, rwABS, rwACOS, rwASIN, rwATAN, rwCEIL, rwCOS, rwEXP,
  rwFLOOR, rwLOG, rwPOWER, rwRAND, rwROUND, rwSIGN, rwSIN, rwSQR, rwSQRT, rwHALFEVEN, rwHALFPOS, rwHALFNEG,
  rwHALFDOWN, rwHALFUP, rwRNDNEG, rwRNDPOS, rwRNDDOWN, rwRNDUP,
};
constexpr int16_t kReservedWordCount = 292;
constexpr int16_t rwNone = kReservedWordCount;

const char* ReservedWordText(int16_t code);
// The code of a word (case-insensitive); rwNone when it is not reserved.
int16_t FindReservedWord(std::string_view word);

struct TToken {
  uint8_t TokenType = ttNone;
  int16_t ReservedWord = rwNone;
  std::string Text;
  TORBVariant ParamValue;  // NULL of type none unless a parameter
  int32_t LineNum = 0;
  int32_t ColumnNum = 0;

  bool Is(int16_t word) const { return TokenType == ttReservedWord && ReservedWord == word; }
  // An operator or symbol word such as "<=" or "||".
  bool IsSymbol(std::string_view s) const { return TokenType == ttWord && Text == s; }
};

struct TSQLCommand {
  std::vector<TToken> Tokens;
  int32_t Current = 0;
  // Where the command ends: errors about a missing token point here.
  int32_t EndLine = 1;
  int32_t EndColumn = 1;
  int32_t Count() const { return static_cast<int32_t>(Tokens.size()); }
};

struct TORBSQLParam {
  std::string Name;
  TORBVariant Value;
};

class TORBSQLParams {
 public:
  void Add(std::string name, TORBVariant value) { items_.push_back({std::move(name), std::move(value)}); }
  size_t Count() const { return items_.size(); }
  const TORBSQLParam& operator[](size_t i) const { return items_[i]; }
  // Case-insensitive; nullptr when absent.
  const TORBSQLParam* Find(std::string_view name) const;

 private:
  std::vector<TORBSQLParam> items_;
};

class TORBLexer {
 public:
  // Tokenizes the whole text at once; raises on an unterminated string, a
  // malformed number, unbalanced parentheses or a missing parameter value.
  explicit TORBLexer(std::string_view text, const TORBSQLParams* params = nullptr);

  // Moves to the next command; the first call selects the first.
  bool NextCommand();
  // False (and an empty token placed at the command's end) past the last token.
  bool GetCurrentToken(TToken& token) const;
  bool GetNextToken(TToken& token);
  bool PeekNextToken(TToken& token) const;
  int32_t GetPosition() const;
  void SetPosition(int32_t index);

  // The current token without a copy; an empty token past the end.
  const TToken& Current() const;
  const TToken& Peek(int32_t ahead = 1) const;
  void Advance();
  bool AtEnd() const;

  size_t CommandCount() const { return commands_.size(); }
  const TSQLCommand& Command(size_t i) const { return commands_[i]; }
  const std::string& SourceText() const { return text_; }

 private:
  const TSQLCommand* Cmd() const;
  TSQLCommand* Cmd();

  std::string text_;
  std::vector<TSQLCommand> commands_;
  int32_t command_ = -1;
  TToken end_;  // returned past the end of a command
};

}  // namespace orb
