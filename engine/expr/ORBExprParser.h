// The recursive-descent parser behind TORBExpression: conditions and values
// from a lexer's current token, with backtracking that frees partial trees.
#pragma once
#include <cstdint>
#include <set>
#include <utility>

#include "expr/ORBExprNodes.h"
#include "expr/ORBLexer.h"

namespace orb {

class TORBExprHost;

class TORBExprParser {
 public:
  struct Options {
    bool CaseInsensitive = false;
    bool PartialCompare = false;
    TORBExprHost* Host = nullptr;
  };
  TORBExprParser(TORBLexer& lexer, Options options) : lx_(lexer), opt_(options) {}

  // A boolean expression; raises when there is none.
  TORBExprNodePtr Condition();
  // A value expression; raises when there is none.
  TORBExprNodePtr RequiredValue();

 private:
  TORBExprNodePtr OrExpr();
  TORBExprNodePtr AndExpr();
  TORBExprNodePtr NotExpr();
  TORBExprNodePtr TruthTest();
  TORBExprNodePtr Predicate();
  TORBExprNodePtr PredicateTail(TORBExprNodePtr left);
  TORBExprNodePtr Value();
  TORBExprNodePtr Concat();
  TORBExprNodePtr Additive();
  TORBExprNodePtr Term();
  TORBExprNodePtr Factor();
  TORBExprNodePtr Primary();
  TORBExprNodePtr Field();
  TORBExprNodePtr Function();
  TORBExprNodePtr DateTimeLiteral();
  TORBExprNodePtr CaseExpr();
  TORBExprNodePtr CastExpr();
  TORBExprNodePtr Subquery();

  TORBExprNodePtr MakeComparison(uint8_t op, TORBExprNodePtr left, TORBExprNodePtr right);
  TORBExprNodePtr MakeLike(bool negate, TORBExprNodePtr value, TORBExprNodePtr pattern, const TToken* escapeToken,
                           TORBExprNodePtr escape);

  // Function argument helpers; each raises the function's own error.
  TORBExprNodePtr Arg(const char* function);
  void Expect(uint8_t tokenType, const char* text);
  void ExpectWord(int16_t word);

  const TToken& Cur() const { return lx_.Current(); }
  const TToken& Ahead(int32_t n) const { return lx_.Peek(n); }
  void Next() { lx_.Advance(); }
  int32_t Pos() const { return lx_.GetPosition(); }
  void Reset(int32_t p) { lx_.SetPosition(p); }

  [[noreturn]] void BoolExpected() const;
  [[noreturn]] void TokenExpected(const char* expected) const;

  // Guards the native stack against deeply nested texts.
  struct Depth {
    Depth(TORBExprParser& p);
    ~Depth() { --p_.depth_; }
    TORBExprParser& p_;
  };

  TORBLexer& lx_;
  Options opt_;
  int depth_ = 0;
  // (rule, position) pairs already known to fail: backtracking never
  // re-parses them, so nested parentheses stay linear.
  std::set<std::pair<int, int32_t>> failed_;
};

}  // namespace orb
