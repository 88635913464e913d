/* promptmatcher - incremental, linear-time search for a device prompt in a growing output. */
#include "promptmatcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <locale>
#include <new>
#include <regex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// ===========================================================================
// Byte sets and the character classes std::regex uses
// ===========================================================================

// A set of byte values.
struct ByteSet {
    std::uint64_t w[4] = {0, 0, 0, 0};

    bool test(unsigned char c) const noexcept { return (w[c >> 6] >> (c & 63)) & 1u; }
    void set(unsigned char c) noexcept { w[c >> 6] |= std::uint64_t{1} << (c & 63); }
    void merge(const ByteSet& o) noexcept
    {
        for (int i = 0; i < 4; ++i) w[i] |= o.w[i];
    }
    void invert() noexcept
    {
        for (auto& x : w) x = ~x;
    }
    bool operator<(const ByteSet& o) const noexcept
    {
        return std::lexicographical_compare(w, w + 4, o.w, o.w + 4);
    }
    bool operator==(const ByteSet& o) const noexcept { return std::equal(w, w + 4, o.w); }
};

// The locale-dependent facts the pattern syntax and the matching depend on,
// taken from the same std::regex_traits<char> (default locale) that
// std::regex itself uses, so both agree on \w, \d, [:alpha:], ...
struct CharInfo {
    std::regex_traits<char> traits;
    const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(traits.getloc());
    ByteSet word;  // bytes for which \b sees a word character

    CharInfo() { word = classSet("w"); }

    // Bytes in the named class ("w", "d", "alpha", ...); false if the name
    // is unknown to regex_traits (std::regex rejects those).
    bool lookup(const std::string& name, ByteSet& out) const
    {
        auto mask = traits.lookup_classname(name.begin(), name.end(), false);
        if (mask == std::regex_traits<char>::char_class_type())
            return false;
        for (int b = 0; b < 256; ++b)
            if (traits.isctype(static_cast<char>(b), mask))
                out.set(static_cast<unsigned char>(b));
        return true;
    }

    ByteSet classSet(const std::string& name) const
    {
        ByteSet s;
        lookup(name, s);
        return s;
    }

    bool isDigit(char c) const { return ctype.is(std::ctype_base::digit, c); }
    bool isXdigit(char c) const { return ctype.is(std::ctype_base::xdigit, c); }
    bool isUpper(char c) const { return ctype.is(std::ctype_base::upper, c); }
};

// ===========================================================================
// Parser: the ECMAScript syntax exactly as libstdc++ 12 reads it
// ===========================================================================
//
// The scanner and the recursive descent below mirror std::__detail::_Scanner
// and _Compiler (bits/regex_scanner.tcc, regex_compiler.tcc) token for token,
// including their quirks: "\cX" is the character X, "[]" is an empty class,
// "[^]" is any byte, ranges compare signed chars, "{" is never literal,
// assertions take no quantifier. The result is a syntax tree that only keeps
// what decides whether a match exists (captures and laziness are dropped).

// Whether c is one of the characters of `set` (never true for NUL, unlike
// strchr).
bool oneOf(const char* set, char c)
{
    return c != '\0' && std::strchr(set, c) != nullptr;
}

// Thrown inside the parser when the pattern is not one we mirror; the pattern
// then goes to Window mode (std::regex already accepted it).
struct Decline {};

struct Ast {
    enum Kind : std::uint8_t { kEmpty, kSet, kConcat, kAlt, kRepeat, kAssert, kGroup, kBackref, kLookahead };
    enum AssertKind : std::uint8_t { kBol, kEol, kWordB, kNotWordB };
    static constexpr std::int32_t kInf = -1;

    struct Node {
        Kind kind = kEmpty;
        std::uint8_t arg = 0;     // AssertKind for kAssert
        std::int32_t min = 0;     // kRepeat
        std::int32_t max = 0;     // kRepeat, kInf for no upper bound
        std::int32_t set = -1;    // kSet: index into sets
        std::vector<std::int32_t> kids;
    };

    std::vector<Node> nodes;
    std::vector<ByteSet> sets;
    std::int32_t root = -1;
    bool hasBackref = false;
    bool hasLookahead = false;
    bool unsupported = false;       // syntax we do not reproduce (collating, ...)
    int lookaheadDepth = 0;         // deepest nesting of (?= (?!

    std::int32_t add(Node n)
    {
        nodes.push_back(std::move(n));
        return static_cast<std::int32_t>(nodes.size() - 1);
    }
    std::int32_t addSet(const ByteSet& s)
    {
        Node n;
        n.kind = kSet;
        sets.push_back(s);
        n.set = static_cast<std::int32_t>(sets.size() - 1);
        return add(std::move(n));
    }
};

class Scanner {
public:
    enum Token {
        kAnyChar, kOrdChar, kHexNum, kBackref, kSubexprBegin, kSubexprNoGroupBegin,
        kLookaheadBegin, kSubexprEnd, kBracketBegin, kBracketNegBegin, kBracketEnd,
        kIntervalBegin, kIntervalEnd, kQuotedClass, kCharClassName, kCollSymbol,
        kEquivClassName, kOpt, kOr, kClosure0, kClosure1, kLineBegin, kLineEnd,
        kWordBound, kComma, kDupCount, kEof, kBracketDash,
    };

    Scanner(const std::string& pattern, const CharInfo& ci)
        : cur_(pattern.data()), end_(pattern.data() + pattern.size()), ci_(ci)
    {
        advance();
    }

    Token token() const noexcept { return token_; }
    const std::string& value() const noexcept { return value_; }

    // Reads the next token (_Scanner::_M_advance).
    void advance()
    {
        if (cur_ == end_) {
            token_ = kEof;
            return;
        }
        if (state_ == kNormal)
            scanNormal();
        else if (state_ == kInBracket)
            scanInBracket();
        else
            scanInBrace();
    }

private:
    enum State { kNormal, kInBracket, kInBrace };

    void ord(char c)
    {
        token_ = kOrdChar;
        value_.assign(1, c);
    }

    // A token outside brackets and braces (_M_scan_normal).
    void scanNormal()
    {
        char c = *cur_++;
        // NUL and everything outside "^$\.*+?()[]{}|" is an ordinary char.
        if (!oneOf("^$\\.*+?()[]{}|", c)) {
            ord(c);
            return;
        }
        switch (c) {
        case '\\':
            if (cur_ == end_) throw Decline{};
            eatEscape();
            return;
        case '(':
            if (cur_ != end_ && *cur_ == '?') {
                if (++cur_ == end_) throw Decline{};
                char k = *cur_++;
                if (k == ':') {
                    token_ = kSubexprNoGroupBegin;
                } else if (k == '=' || k == '!') {
                    token_ = kLookaheadBegin;
                    value_.assign(1, k == '=' ? 'p' : 'n');
                } else {
                    throw Decline{};
                }
            } else {
                token_ = kSubexprBegin;
            }
            return;
        case ')': token_ = kSubexprEnd; return;
        case '[':
            state_ = kInBracket;
            if (cur_ != end_ && *cur_ == '^') {
                token_ = kBracketNegBegin;
                ++cur_;
            } else {
                token_ = kBracketBegin;
            }
            return;
        case '{':
            state_ = kInBrace;
            token_ = kIntervalBegin;
            return;
        case ']':
        case '}': ord(c); return;
        case '^': token_ = kLineBegin; return;
        case '$': token_ = kLineEnd; return;
        case '.': token_ = kAnyChar; return;
        case '*': token_ = kClosure0; return;
        case '+': token_ = kClosure1; return;
        case '?': token_ = kOpt; return;
        default: token_ = kOr; return;  // '|'
        }
    }

    // A token inside "[...]" (_M_scan_in_bracket).
    void scanInBracket()
    {
        char c = *cur_++;
        if (c == '-') {
            token_ = kBracketDash;
        } else if (c == '[') {
            if (cur_ == end_) throw Decline{};
            char k = *cur_;
            if (k == '.' || k == ':' || k == '=') {
                token_ = k == '.' ? kCollSymbol : k == ':' ? kCharClassName : kEquivClassName;
                ++cur_;
                eatClass(k);
            } else {
                ord(c);
            }
        } else if (c == ']') {
            token_ = kBracketEnd;
            state_ = kNormal;
        } else if (c == '\\') {
            eatEscape();
        } else {
            ord(c);
        }
    }

    // A token inside "{...}" (_M_scan_in_brace).
    void scanInBrace()
    {
        char c = *cur_++;
        if (ci_.isDigit(c)) {
            token_ = kDupCount;
            value_.assign(1, c);
            while (cur_ != end_ && ci_.isDigit(*cur_)) value_ += *cur_++;
        } else if (c == ',') {
            token_ = kComma;
        } else if (c == '}') {
            state_ = kNormal;
            token_ = kIntervalEnd;
        } else {
            throw Decline{};
        }
    }

    // _Scanner::_M_eat_escape_ecma: the character after a backslash.
    void eatEscape()
    {
        if (cur_ == end_) throw Decline{};
        char c = *cur_++;
        static const char kFrom[] = "0bfnrtv";
        static const char kTo[] = {'\0', '\b', '\f', '\n', '\r', '\t', '\v'};
        const char* hit = oneOf(kFrom, c) ? std::strchr(kFrom, c) : nullptr;
        if (hit != nullptr && (c != 'b' || state_ == kInBracket)) {
            ord(kTo[hit - kFrom]);
        } else if (c == 'b' || c == 'B') {
            token_ = kWordBound;
            value_.assign(1, c == 'b' ? 'p' : 'n');
        } else if (oneOf("dDsSwW", c)) {
            token_ = kQuotedClass;
            value_.assign(1, c);
        } else if (c == 'c') {
            if (cur_ == end_) throw Decline{};
            ord(*cur_++);  // libstdc++ takes "\cX" as X itself
        } else if (c == 'x' || c == 'u') {
            value_.clear();
            for (int i = 0, n = c == 'x' ? 2 : 4; i < n; ++i) {
                if (cur_ == end_ || !ci_.isXdigit(*cur_)) throw Decline{};
                value_ += *cur_++;
            }
            token_ = kHexNum;
        } else if (ci_.isDigit(c)) {
            value_.assign(1, c);
            while (cur_ != end_ && ci_.isDigit(*cur_)) value_ += *cur_++;
            token_ = kBackref;
        } else {
            ord(c);
        }
    }

    // Reads "name" of "[:name:]" (or "[.x.]", "[=x=]") up to the closing "k]".
    void eatClass(char k)
    {
        value_.clear();
        while (cur_ != end_ && *cur_ != k) value_ += *cur_++;
        if (cur_ == end_ || *cur_++ != k || cur_ == end_ || *cur_++ != ']') throw Decline{};
    }

    const char* cur_;
    const char* end_;
    const CharInfo& ci_;
    State state_ = kNormal;
    Token token_ = kEof;
    std::string value_;
};

class Parser {
public:
    // Deeper nesting, or more quantifiers stacked on one atom, is left to
    // std::regex (Window mode); keeps the depth of the syntax tree, and so
    // all our recursion over it, bounded by a small constant.
    static constexpr int kMaxNesting = 64;
    static constexpr int kMaxStackedQuantifiers = 8;

    Parser(const std::string& pattern, const CharInfo& ci, Ast& ast)
        : sc_(pattern, ci), ci_(ci), ast_(ast) {}

    // Builds ast_ from the whole pattern; throws Decline when the pattern is
    // not mirrored by this parser.
    void parse()
    {
        ast_.root = disjunction(0, 0);
        if (!match(Scanner::kEof)) throw Decline{};
    }

private:
    // Consumes the current token if it is `t`, keeping its value.
    bool match(Scanner::Token t)
    {
        if (sc_.token() != t) return false;
        value_ = sc_.value();
        sc_.advance();
        return true;
    }

    static constexpr long kTooBig = -2;

    // Decimal or hex value of the last token, as _M_cur_int_value computes
    // it; kTooBig if it has too many digits to be worth mirroring.
    long intValue(int radix) const
    {
        if (value_.size() > 7) return kTooBig;
        return std::stol(value_, nullptr, radix);
    }

    // Alternatives separated by '|'; `depth` counts group nesting,
    // `lookDepth` lookahead nesting.
    std::int32_t disjunction(int depth, int lookDepth)
    {
        if (depth > kMaxNesting) throw Decline{};
        std::vector<std::int32_t> alts{alternative(depth, lookDepth)};
        while (match(Scanner::kOr)) alts.push_back(alternative(depth, lookDepth));
        if (alts.size() == 1) return alts[0];
        Ast::Node n;
        n.kind = Ast::kAlt;
        n.kids = std::move(alts);
        return ast_.add(std::move(n));
    }

    // A sequence of terms; an assertion term takes no quantifier.
    std::int32_t alternative(int depth, int lookDepth)
    {
        std::vector<std::int32_t> seq;
        for (;;) {
            std::int32_t t = assertion(depth, lookDepth);
            if (t < 0) {
                t = atom(depth, lookDepth);
                if (t < 0) break;
                for (int q = 0; quantifier(t); ++q)
                    if (q == kMaxStackedQuantifiers) throw Decline{};
            }
            seq.push_back(t);
        }
        if (seq.size() == 1) return seq[0];
        Ast::Node n;
        n.kind = seq.empty() ? Ast::kEmpty : Ast::kConcat;
        n.kids = std::move(seq);
        return ast_.add(std::move(n));
    }

    // ^ $ \b \B or a lookahead group; -1 if the current token starts none.
    std::int32_t assertion(int depth, int lookDepth)
    {
        Ast::Node n;
        n.kind = Ast::kAssert;
        if (match(Scanner::kLineBegin)) {
            n.arg = Ast::kBol;
        } else if (match(Scanner::kLineEnd)) {
            n.arg = Ast::kEol;
        } else if (match(Scanner::kWordBound)) {
            n.arg = value_[0] == 'n' ? Ast::kNotWordB : Ast::kWordB;
        } else if (match(Scanner::kLookaheadBegin)) {
            ast_.hasLookahead = true;
            ast_.lookaheadDepth = std::max(ast_.lookaheadDepth, lookDepth + 1);
            n.kind = Ast::kLookahead;
            n.kids.push_back(disjunction(depth + 1, lookDepth + 1));
            if (!match(Scanner::kSubexprEnd)) throw Decline{};
        } else {
            return -1;
        }
        return ast_.add(std::move(n));
    }

    // Wraps atom `t` in the quantifier that follows, if any (lazy forms are
    // the same for us: only the existence of a match counts).
    bool quantifier(std::int32_t& t)
    {
        long lo = 0, hi = Ast::kInf;
        if (match(Scanner::kClosure0)) {
            lo = 0;
        } else if (match(Scanner::kClosure1)) {
            lo = 1;
        } else if (match(Scanner::kOpt)) {
            hi = 1;
        } else if (match(Scanner::kIntervalBegin)) {
            if (!match(Scanner::kDupCount)) throw Decline{};
            lo = intValue(10);
            hi = lo;
            if (match(Scanner::kComma)) hi = match(Scanner::kDupCount) ? intValue(10) : Ast::kInf;
            if (!match(Scanner::kIntervalEnd)) throw Decline{};
            if (lo == kTooBig || hi == kTooBig) {
                // Counts of 8+ digits: libstdc++ truncates them to int; not
                // worth reproducing, std::regex decides.
                ast_.unsupported = true;
                lo = 1;
                hi = 1;
            }
            if (hi != Ast::kInf && hi < lo) throw Decline{};
        } else {
            return false;
        }
        match(Scanner::kOpt);  // lazy marker
        Ast::Node n;
        n.kind = Ast::kRepeat;
        n.min = static_cast<std::int32_t>(lo);
        n.max = static_cast<std::int32_t>(hi);
        n.kids.push_back(t);
        t = ast_.add(std::move(n));
        return true;
    }

    // One character of an ordinary or hex token (_M_try_char); false if the
    // current token is neither.
    bool tryChar(unsigned char& c)
    {
        if (match(Scanner::kHexNum)) {
            long v = intValue(16);
            if (v > 0xFF) {
                // "\uHHHH" beyond one byte: libstdc++ truncates it to a char;
                // we do not guess, std::regex decides.
                ast_.unsupported = true;
            }
            c = static_cast<unsigned char>(v);
            return true;
        }
        if (match(Scanner::kOrdChar)) {
            c = static_cast<unsigned char>(value_[0]);
            return true;
        }
        return false;
    }

    // ., a character, a class escape, a back-reference, a group or a
    // bracket expression; -1 if the current token starts none.
    std::int32_t atom(int depth, int lookDepth)
    {
        unsigned char c = 0;
        if (match(Scanner::kAnyChar)) {
            ByteSet s;
            s.set('\n');
            s.set('\r');
            s.invert();
            return ast_.addSet(s);
        }
        if (tryChar(c)) {
            ByteSet s;
            s.set(c);
            return ast_.addSet(s);
        }
        if (match(Scanner::kBackref)) {
            ast_.hasBackref = true;
            Ast::Node n;
            n.kind = Ast::kBackref;
            return ast_.add(std::move(n));
        }
        if (match(Scanner::kQuotedClass)) {
            ByteSet s;
            if (!ci_.lookup(value_, s)) throw Decline{};
            if (ci_.isUpper(value_[0])) s.invert();  // \D \S \W
            return ast_.addSet(s);
        }
        if (match(Scanner::kSubexprNoGroupBegin) || match(Scanner::kSubexprBegin)) {
            Ast::Node n;
            n.kind = Ast::kGroup;
            n.kids.push_back(disjunction(depth + 1, lookDepth));
            if (!match(Scanner::kSubexprEnd)) throw Decline{};
            return ast_.add(std::move(n));
        }
        bool neg = match(Scanner::kBracketNegBegin);
        if (neg || match(Scanner::kBracketBegin)) return ast_.addSet(bracket(neg));
        return -1;
    }

    // What the bracket remembers of its last element (_BracketState).
    struct Last {
        enum Type { kNone, kChar, kClass } type = kNone;
        unsigned char c = 0;
    };

    // A bracket expression after its "[" or "[^" (_M_insert_bracket_matcher).
    ByteSet bracket(bool neg)
    {
        ByteSet s;
        Last last;
        unsigned char c = 0;
        if (tryChar(c)) {
            last = {Last::kChar, c};
        } else if (match(Scanner::kBracketDash)) {
            last = {Last::kChar, '-'};  // leading '-' is literal
        }
        while (expressionTerm(last, s)) {}
        if (last.type == Last::kChar) s.set(last.c);
        if (neg) s.invert();
        return s;
    }

    // One element of a bracket expression (_M_expression_term); false at
    // the closing ']'.
    bool expressionTerm(Last& last, ByteSet& s)
    {
        if (match(Scanner::kBracketEnd)) return false;
        auto pushChar = [&](unsigned char ch) {
            if (last.type == Last::kChar) s.set(last.c);
            last = {Last::kChar, ch};
        };
        auto pushClass = [&] {
            if (last.type == Last::kChar) s.set(last.c);
            last = {Last::kClass, 0};
        };
        unsigned char c = 0;
        if (match(Scanner::kCollSymbol)) {
            ast_.unsupported = true;  // [.x.]: not reproduced
            pushChar(0);
        } else if (match(Scanner::kEquivClassName)) {
            ast_.unsupported = true;  // [=x=]: not reproduced
            pushClass();
        } else if (match(Scanner::kCharClassName)) {
            pushClass();
            if (!ci_.lookup(value_, s)) throw Decline{};
        } else if (tryChar(c)) {
            pushChar(c);
        } else if (match(Scanner::kBracketDash)) {
            if (match(Scanner::kBracketEnd)) {
                pushChar('-');  // "-]"
                return false;
            }
            if (last.type == Last::kClass) throw Decline{};
            if (last.type == Last::kChar) {
                unsigned char hi = 0;
                if (tryChar(hi)) {
                    addRange(s, last.c, hi);
                } else if (match(Scanner::kBracketDash)) {
                    addRange(s, last.c, '-');
                } else {
                    throw Decline{};
                }
                last = {Last::kNone, 0};
            } else {
                pushChar('-');  // ECMAScript: a '-' after a range is literal
            }
        } else if (match(Scanner::kQuotedClass)) {
            pushClass();
            ByteSet cls;
            if (!ci_.lookup(value_, cls)) throw Decline{};
            if (ci_.isUpper(value_[0])) cls.invert();
            s.merge(cls);
        } else {
            throw Decline{};
        }
        return true;
    }

    // A range compares plain (signed) chars, as libstdc++ does: [\x80-\xff]
    // is valid, [a-\x80] is not.
    static void addRange(ByteSet& s, unsigned char lo, unsigned char hi)
    {
        auto l = static_cast<signed char>(lo), h = static_cast<signed char>(hi);
        if (l > h) throw Decline{};
        for (int b = 0; b < 256; ++b) {
            auto c = static_cast<signed char>(b);
            if (l <= c && c <= h) s.set(static_cast<unsigned char>(b));
        }
    }

    Scanner sc_;
    const CharInfo& ci_;
    Ast& ast_;
    std::string value_;
};

// Upper estimate of the number of states std::regex's NFA has for the
// subtree `i` (saturating at `cap`); sizes the stack of Window searches.
std::size_t estimateStates(const Ast& ast, std::int32_t i, std::size_t cap)
{
    const Ast::Node& n = ast.nodes[static_cast<std::size_t>(i)];
    std::size_t sum = 0;
    for (std::int32_t k : n.kids) sum = std::min(cap, sum + estimateStates(ast, k, cap));
    switch (n.kind) {
    case Ast::kEmpty: return 1;
    case Ast::kConcat: return sum;
    case Ast::kAlt: return std::min(cap, sum + 2 * n.kids.size());
    case Ast::kGroup:
    case Ast::kLookahead: return std::min(cap, sum + 3);
    case Ast::kRepeat: {
        std::size_t copies = static_cast<std::size_t>(n.min) +
                             (n.max == Ast::kInf ? 1 : static_cast<std::size_t>(n.max - n.min));
        return std::min(cap, (copies + 1) * (sum + 2));
    }
    default: return 1;
    }
}

// ===========================================================================
// NFA: Thompson construction over bytes
// ===========================================================================

struct Nfa {
    enum Op : std::uint8_t { kByte, kSplit, kAssert, kMatch };
    struct Inst {
        Op op;
        std::uint8_t arg;   // Ast::AssertKind for kAssert
        std::int32_t out;   // next instruction
        std::int32_t out1;  // kSplit: other branch; kByte: byte set index
    };
    std::vector<Inst> inst;
    std::vector<ByteSet> sets;
    std::int32_t start = -1;
    bool hasBol = false;
    bool hasWord = false;
};

class NfaBuilder {
public:
    NfaBuilder(const Ast& ast, Nfa& nfa, std::size_t cap) : ast_(ast), nfa_(nfa), cap_(cap) {}

    // Fills nfa_ for the whole tree; false if it would exceed cap_ states.
    bool build()
    {
        nfa_.sets = ast_.sets;
        std::int32_t match = emit({Nfa::kMatch, 0, -1, -1});
        nfa_.start = compile(ast_.root, match);
        return nfa_.start >= 0;
    }

private:
    std::int32_t emit(Nfa::Inst in)
    {
        if (nfa_.inst.size() >= cap_) return -1;
        nfa_.inst.push_back(in);
        return static_cast<std::int32_t>(nfa_.inst.size() - 1);
    }

    // Instructions for subtree `i` followed by `next`; returns the entry
    // instruction, or -1 when the cap is hit. Recursion depth is bounded by
    // the parser's nesting cap.
    std::int32_t compile(std::int32_t i, std::int32_t next)
    {
        if (next < 0) return -1;
        const Ast::Node& n = ast_.nodes[static_cast<std::size_t>(i)];
        switch (n.kind) {
        case Ast::kEmpty: return next;
        case Ast::kSet: return emit({Nfa::kByte, 0, next, n.set});
        case Ast::kAssert:
            if (n.arg == Ast::kBol) nfa_.hasBol = true;
            if (n.arg == Ast::kWordB || n.arg == Ast::kNotWordB) nfa_.hasWord = true;
            return emit({Nfa::kAssert, n.arg, next, -1});
        case Ast::kGroup: return compile(n.kids[0], next);
        case Ast::kConcat:
            for (auto k = n.kids.rbegin(); k != n.kids.rend() && next >= 0; ++k) next = compile(*k, next);
            return next;
        case Ast::kAlt: {
            std::int32_t entry = compile(n.kids.back(), next);
            for (auto k = n.kids.rbegin() + 1; k != n.kids.rend() && entry >= 0; ++k) {
                std::int32_t e = compile(*k, next);
                entry = e < 0 ? -1 : emit({Nfa::kSplit, 0, e, entry});
            }
            return entry;
        }
        case Ast::kRepeat: {
            std::int32_t body = n.kids[0];
            std::int32_t cur = next;
            if (n.max == Ast::kInf) {
                // loop: split(body -> loop, next)
                std::int32_t loop = emit({Nfa::kSplit, 0, -1, next});
                if (loop < 0) return -1;
                std::int32_t e = compile(body, loop);
                if (e < 0) return -1;
                nfa_.inst[static_cast<std::size_t>(loop)].out = e;
                cur = loop;
            } else {
                // (body (body (...)?)?)? for the optional copies
                for (std::int32_t k = n.min; k < n.max && cur >= 0; ++k) {
                    std::int32_t e = compile(body, cur);
                    cur = e < 0 ? -1 : emit({Nfa::kSplit, 0, e, next});
                }
            }
            for (std::int32_t k = 0; k < n.min && cur >= 0; ++k) cur = compile(body, cur);
            return cur;
        }
        default: return -1;  // back-references and lookahead never get here
        }
    }

    const Ast& ast_;
    Nfa& nfa_;
    std::size_t cap_;
};

// ===========================================================================
// DFA: lazily built from the NFA, with a bounded transition cache
// ===========================================================================
//
// A DFA state is the set of NFA instructions a search can rest on between
// two bytes (byte matchers, pending assertions, match) plus the context bits
// the pending assertions need: "at position 0" (only if the pattern has ^)
// and "previous byte is a word byte" (only if it has \b or \B). Assertions
// are resolved when the next byte is known, or at the end of the output when
// answering. The start instruction is added to every state, which makes the
// search unanchored. Each input byte costs one table lookup once the
// transition is cached; a miss costs O(NFA size). When the cache outgrows
// its budget it is emptied and rebuilt on demand, as RE2 does.
//
// States whose only way out is up to four particular byte values (very
// common: "nothing started yet, waiting for '#'") skip ahead with
// memchr/SSE2 instead of stepping byte by byte, until their skips turn out
// too short to pay (text full of those bytes). With up to 32 byte classes a
// second table steps two bytes at a time.

class Dfa {
public:
    static constexpr std::size_t kCacheBytes = 4u << 20;

    explicit Dfa(Nfa nfa, const ByteSet& word) : nfa_(std::move(nfa)), word_(word)
    {
        buildByteClasses();
        mark_.assign(nfa_.inst.size(), 0);
        std::vector<std::int32_t> key;
        restingSet({nfa_.start}, key);
        key.insert(key.begin(), nfa_.hasBol ? kAtStart : 0);
        cur_ = addState(std::move(key));
    }

    // Steps over bytes [p, end). True as soon as a match ends somewhere in
    // the output before the last byte fed (the end of the output itself is
    // checked by matchesAtEnd()).
    bool run(const unsigned char* p, const unsigned char* end)
    {
        std::int32_t s = cur_;
        const std::int32_t* tab = table_.data();
        while (p < end) {
            if (pairs_) {
                // Two bytes per dependent load (one add, one load: pair_
                // holds byte offsets) while the pair table knows the way.
                // Unknown pairs are learnt when both steps are plain ones;
                // a self-loop pair of an accelerated state says: skip.
                char* base = reinterpret_cast<char*>(pair_.data());
                const std::uint8_t* cls = cls_;
                const unsigned sh = strideShift_;
                std::uint32_t off = static_cast<std::uint32_t>(s) << (sh + 2);
                for (;;) {
                    std::int32_t t2 = -1;
                    std::uint32_t idx = 0;
                    while (end - p >= 2) {
                        idx = ((static_cast<std::uint32_t>(cls[p[0]]) << sh) + cls[p[1]]) << 2;
                        std::memcpy(&t2, base + off + idx, sizeof t2);
                        if (t2 < 0) break;
                        off = static_cast<std::uint32_t>(t2);
                        p += 2;
                    }
                    if (end - p < 2) break;
                    std::int32_t here = static_cast<std::int32_t>(off >> (sh + 2));
                    if (t2 == kSkipPair) {
                        p = skip(p, end, here);
                        continue;
                    }
                    std::int32_t t0 = tab[here + cls[p[0]]];
                    std::int32_t t1 = t0 >= 0 ? tab[t0 + cls[p[1]]] : -1;
                    if (t1 < 0) break;
                    t2 = t1 << (sh + 2);
                    std::memcpy(base + off + idx, &t2, sizeof t2);
                    off = static_cast<std::uint32_t>(t2);
                    p += 2;
                }
                s = static_cast<std::int32_t>(off >> (sh + 2));
                if (p == end) break;
            }
            // one step: a pair that could not be learnt, the last byte, or
            // every byte when there are too many classes for pairs
            std::int32_t t = tab[s + cls_[*p]];
            if (t >= 0) {
                s = t;
                ++p;
            } else if (t == kMatch) {
                cur_ = s;
                return true;
            } else if (t == kSkipSelf) {
                p = skip(p, end, s);
            } else {
                computeTransition(s, cls_[*p]);  // may flush: s is updated
                tab = table_.data();
            }
        }
        cur_ = s;
        return false;
    }

    // Whether a match ends at the end of the output fed so far ($ holds
    // there, \b sees no byte after it).
    bool matchesAtEnd()
    {
        State& st = states_[row(cur_)];
        if (st.endMatch < 0) {
            Context ctx{(st.key[0] & kAtStart) != 0, (st.key[0] & kPrevWord) != 0, false, true};
            bool match = false;
            resolve(st.key, ctx, nullptr, match);
            st.endMatch = match ? 1 : 0;
        }
        return st.endMatch == 1;
    }

private:
    static constexpr std::int32_t kUnknown = -1;
    static constexpr std::int32_t kMatch = -2;
    static constexpr std::int32_t kAtStart = 1;
    static constexpr std::int32_t kPrevWord = 2;
    static constexpr std::int32_t kSkipPair = -3;  // in pair_: skip ahead
    static constexpr std::int32_t kSkipSelf = -4;  // in table_ without pair_
    static constexpr std::uint8_t kNoAccel = 255;
    // Skipping stops paying below about this many bytes per skip (a call
    // costs as much as stepping over that many bytes two at a time).
    static constexpr std::uint64_t kMinSkipAverage = 12;
    static constexpr std::uint32_t kSkipSample = 64;

    struct Context {
        bool atStart, prevWord, nextWord, atEnd;
    };

    struct VecHash {
        std::size_t operator()(const std::vector<std::int32_t>& v) const noexcept
        {
            std::uint64_t h = 1469598103934665603ull;
            for (std::int32_t x : v) h = (h ^ static_cast<std::uint32_t>(x)) * 1099511628211ull;
            return static_cast<std::size_t>(h ^ (h >> 29));
        }
    };

    struct State {
        std::vector<std::int32_t> key;  // [flags, sorted resting instructions...]
        std::int8_t endMatch = -1;      // cached matchesAtEnd, -1 unknown
        std::uint8_t accel = kNoAccel;  // number of exit bytes when accelerated
        unsigned char exits[4] = {0, 0, 0, 0};
        std::uint32_t skips = 0;        // skips, and bytes skipped, since the
        std::uint64_t skipped = 0;      // last look at whether they pay
    };

    std::size_t row(std::int32_t offset) const { return static_cast<std::size_t>(offset) >> strideShift_; }

    // Splits the 256 byte values into classes that no byte set (and, when
    // \b/\B is used, no word test) tells apart.
    void buildByteClasses()
    {
        std::vector<ByteSet> splitters = nfa_.sets;
        if (nfa_.hasWord) splitters.push_back(word_);
        std::fill(std::begin(cls_), std::end(cls_), 0);
        int n = 1;
        for (const ByteSet& s : splitters) {
            int remap[256][2];
            for (auto& r : remap) r[0] = r[1] = -1;
            int m = 0;
            for (int b = 0; b < 256; ++b) {
                int& slot = remap[cls_[b]][s.test(static_cast<unsigned char>(b)) ? 1 : 0];
                if (slot < 0) slot = m++;
                cls_[b] = static_cast<std::uint8_t>(slot);
            }
            n = m;
        }
        classes_ = static_cast<std::size_t>(n);
        pairs_ = classes_ <= 32;
        // rows of a power of two entries: offsets convert with shifts
        for (stride_ = 1, strideShift_ = 0; stride_ < classes_; stride_ *= 2) ++strideShift_;
        rep_.assign(stride_, 0);
        classSize_.assign(stride_, 0);
        for (int b = 255; b >= 0; --b) {
            rep_[cls_[b]] = static_cast<unsigned char>(b);
            ++classSize_[cls_[b]];
        }
    }

    // Appends to `out` the sorted set of byte/assert/match instructions
    // reachable from `seeds` through splits (assertions are not crossed).
    void restingSet(const std::vector<std::int32_t>& seeds, std::vector<std::int32_t>& out)
    {
        const std::size_t from = out.size();
        newStamp();
        stack_.assign(seeds.begin(), seeds.end());
        while (!stack_.empty()) {
            std::int32_t i = stack_.back();
            stack_.pop_back();
            auto ui = static_cast<std::size_t>(i);
            if (mark_[ui] == stamp_) continue;
            mark_[ui] = stamp_;
            const Nfa::Inst& in = nfa_.inst[ui];
            if (in.op == Nfa::kSplit) {
                stack_.push_back(in.out1);
                stack_.push_back(in.out);
            } else {
                out.push_back(i);
            }
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(from), out.end());
    }

    // A fresh "visited" mark for one walk over the NFA; on wrap-around the
    // old marks are cleared so that none can pass for the new one.
    void newStamp()
    {
        if (++stamp_ == 0) {
            std::fill(mark_.begin(), mark_.end(), 0);
            stamp_ = 1;
        }
    }

    static bool passes(std::uint8_t kind, const Context& c)
    {
        switch (kind) {
        case Ast::kBol: return c.atStart;
        case Ast::kEol: return c.atEnd;
        case Ast::kWordB: return c.prevWord != c.nextWord;
        default: return c.prevWord == c.nextWord;
        }
    }

    // Everything reachable from a state's resting set in context `c`,
    // crossing the assertions that hold: collects byte instructions into
    // `bytes` (if given) and reports whether the match is reachable.
    void resolve(const std::vector<std::int32_t>& key, const Context& c, std::vector<std::int32_t>* bytes,
                 bool& match)
    {
        newStamp();
        stack_.assign(key.begin() + 1, key.end());
        while (!stack_.empty()) {
            std::int32_t i = stack_.back();
            stack_.pop_back();
            auto ui = static_cast<std::size_t>(i);
            if (mark_[ui] == stamp_) continue;
            mark_[ui] = stamp_;
            const Nfa::Inst& in = nfa_.inst[ui];
            switch (in.op) {
            case Nfa::kByte:
                if (bytes != nullptr) bytes->push_back(i);
                break;
            case Nfa::kMatch: match = true; break;
            case Nfa::kSplit:
                stack_.push_back(in.out1);
                stack_.push_back(in.out);
                break;
            case Nfa::kAssert:
                if (passes(in.arg, c)) stack_.push_back(in.out);
                break;
            }
        }
    }

    // Key of the state reached from `key` over byte class k, or an empty
    // vector when a match ends before that byte.
    void nextKey(const std::vector<std::int32_t>& key, int k, std::vector<std::int32_t>& out)
    {
        unsigned char b = rep_[static_cast<std::size_t>(k)];
        bool nextWord = nfa_.hasWord && word_.test(b);
        Context c{(key[0] & kAtStart) != 0, (key[0] & kPrevWord) != 0, nextWord, false};
        bool match = false;
        bytes_.clear();
        resolve(key, c, &bytes_, match);
        out.clear();
        if (match) return;
        seeds_.assign(1, nfa_.start);
        for (std::int32_t i : bytes_) {
            const Nfa::Inst& in = nfa_.inst[static_cast<std::size_t>(i)];
            if (nfa_.sets[static_cast<std::size_t>(in.out1)].test(b)) seeds_.push_back(in.out);
        }
        out.push_back(nextWord ? kPrevWord : 0);
        restingSet(seeds_, out);
    }

    std::size_t stateCost(const std::vector<std::int32_t>& key) const
    {
        std::size_t row = stride_ * (pairs_ ? stride_ + 1 : 1);
        return row * sizeof(std::int32_t) + 2 * key.size() * sizeof(std::int32_t) + 128;
    }

    // Adds a state (its key must be new) and returns its row offset.
    std::int32_t addState(std::vector<std::int32_t> key)
    {
        cacheBytes_ += stateCost(key);
        auto offset = static_cast<std::int32_t>(table_.size());
        table_.resize(table_.size() + stride_, kUnknown);
        if (pairs_) pair_.resize(pair_.size() + stride_ * stride_, kUnknown);
        index_.emplace(key, offset);
        states_.push_back(State{});
        states_.back().key = std::move(key);
        analyseAccel(offset);
        return offset;
    }

    // Marks the state accelerated when all bytes but at most four keep it
    // where it is. Its self-loops are filled in and its pairs of them
    // marked kSkipPair; without the pair table the self-loops are marked
    // kSkipSelf instead. Only for small automata and the first states of a
    // cache generation, so that trying every byte class stays a bounded
    // extra cost on state creation.
    void analyseAccel(std::int32_t offset)
    {
        if (nfa_.inst.size() > 512 || classes_ > 64 || states_.size() > 64) return;
        State& st = states_[row(offset)];
        std::vector<std::int32_t> next;
        std::vector<std::size_t> self;
        unsigned char exits[4];
        unsigned nexits = 0;
        for (std::size_t k = 0; k < classes_; ++k) {
            nextKey(st.key, static_cast<int>(k), next);
            if (next == st.key) {
                self.push_back(k);
                continue;
            }
            nexits += classSize_[k];
            if (nexits > 4) return;
            for (int b = 0, j = static_cast<int>(nexits - classSize_[k]); b < 256; ++b)
                if (cls_[b] == k) exits[j++] = static_cast<unsigned char>(b);
        }
        st.accel = static_cast<std::uint8_t>(nexits);
        std::copy(exits, exits + nexits, st.exits);
        for (std::size_t k : self) table_[static_cast<std::size_t>(offset) + k] = pairs_ ? offset : kSkipSelf;
        if (!pairs_) return;
        std::size_t base = static_cast<std::size_t>(offset) << strideShift_;
        for (std::size_t a : self)
            for (std::size_t b : self) pair_[base + (a << strideShift_) + b] = kSkipPair;
    }

    // Fills the transition of row `s` over class k, building the target
    // state if needed. A full cache is emptied first; `s` then names the
    // same state in the new cache.
    void computeTransition(std::int32_t& s, int k)
    {
        std::vector<std::int32_t> next;
        nextKey(states_[row(s)].key, k, next);
        std::int32_t entry = kMatch;
        if (!next.empty()) {
            auto it = index_.find(next);
            std::int32_t target;
            if (it != index_.end()) {
                target = it->second;
            } else {
                if (cacheBytes_ + stateCost(next) > kCacheBytes) {
                    std::vector<std::int32_t> source = states_[row(s)].key;
                    flush();
                    s = addState(std::move(source));
                    auto again = index_.find(next);
                    target = again != index_.end() ? again->second : addState(next);
                } else {
                    target = addState(next);
                }
            }
            entry = target;
        }
        table_[static_cast<std::size_t>(s) + static_cast<std::size_t>(k)] = entry;
    }

    void flush()
    {
        table_.clear();
        pair_.clear();
        states_.clear();
        index_.clear();
        cacheBytes_ = 0;
    }

    // First position at or after p where accelerated state s can leave
    // (one of its exit bytes), or end. Keeps count of how far skips get and
    // turns the acceleration off for a state whose skips are too short to
    // pay for themselves (text where its exit bytes are frequent).
    const unsigned char* skip(const unsigned char* p, const unsigned char* end, std::int32_t s)
    {
        State& st = states_[row(s)];
        const unsigned char* q = findExit(st, p, end);
        st.skipped += static_cast<std::uint64_t>(q - p);
        if (++st.skips == kSkipSample) {
            if (st.skipped < kSkipSample * kMinSkipAverage) {
                st.accel = kNoAccel;
                if (pairs_) {
                    std::size_t base = static_cast<std::size_t>(s) << strideShift_;
                    for (std::size_t k = 0; k < stride_ * stride_; ++k)
                        if (pair_[base + k] == kSkipPair) pair_[base + k] = kUnknown;
                } else {
                    std::int32_t* own = table_.data() + s;
                    for (std::size_t k = 0; k < stride_; ++k)
                        if (own[k] == kSkipSelf) own[k] = s;
                }
            }
            st.skips = 0;
            st.skipped = 0;
        }
        return q;
    }

    static const unsigned char* findExit(const State& st, const unsigned char* p, const unsigned char* end)
    {
        if (st.accel == 0 || p >= end) return end;
        if (st.accel == 1) {
            const void* hit = std::memchr(p, st.exits[0], static_cast<std::size_t>(end - p));
            return hit != nullptr ? static_cast<const unsigned char*>(hit) : end;
        }
        unsigned char e[4];
        for (unsigned i = 0; i < 4; ++i) e[i] = st.exits[i < st.accel ? i : 0];
#if defined(__SSE2__)
        const __m128i v0 = _mm_set1_epi8(static_cast<char>(e[0]));
        const __m128i v1 = _mm_set1_epi8(static_cast<char>(e[1]));
        const __m128i v2 = _mm_set1_epi8(static_cast<char>(e[2]));
        const __m128i v3 = _mm_set1_epi8(static_cast<char>(e[3]));
        for (; end - p >= 16; p += 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, v0), _mm_cmpeq_epi8(x, v1)),
                                     _mm_or_si128(_mm_cmpeq_epi8(x, v2), _mm_cmpeq_epi8(x, v3)));
            if (int bits = _mm_movemask_epi8(m)) return p + __builtin_ctz(static_cast<unsigned>(bits));
        }
#endif
        for (; p < end; ++p)
            if (*p == e[0] || *p == e[1] || *p == e[2] || *p == e[3]) return p;
        return end;
    }

    Nfa nfa_;
    ByteSet word_;
    std::uint8_t cls_[256];
    std::size_t classes_ = 1;  // byte classes in use
    std::size_t stride_ = 1;   // table entries per state (>= classes_)
    unsigned strideShift_ = 0; // log2(stride_)
    std::vector<unsigned char> rep_;
    std::vector<unsigned> classSize_;

    std::vector<std::int32_t> table_;  // stride_ entries per state
    // With few byte classes, also stride_^2 entries per state: the state
    // two bytes on (as the byte offset of its row in pair_), kUnknown when
    // not learnt or when either step is not a plain one, or kSkipPair.
    // Halves the chain of dependent loads the scan is bound by.
    bool pairs_ = false;
    std::vector<std::int32_t> pair_;
    std::vector<State> states_;
    std::unordered_map<std::vector<std::int32_t>, std::int32_t, VecHash> index_;
    std::size_t cacheBytes_ = 0;
    std::int32_t cur_ = 0;

    std::vector<std::uint32_t> mark_;
    std::uint32_t stamp_ = 0;
    std::vector<std::int32_t> stack_, bytes_, seeds_;
};

// ===========================================================================
// Literal search
// ===========================================================================

// Substring search that finds the pattern also when it straddles pieces.
// The Knuth-Morris-Pratt state (how much of the pattern the output
// currently ends with) stands for the len-1 bytes of overlap, so each byte
// is looked at a bounded number of times; memchr skips ahead while nothing
// is partially matched.
class LiteralSearch {
public:
    LiteralSearch() = default;
    explicit LiteralSearch(std::string pattern) : pat_(std::move(pattern)), fail_(pat_.size() + 1, 0)
    {
        found_ = pat_.empty();
        for (std::size_t i = 1, k = 0; i < pat_.size(); ++i) {
            while (k > 0 && pat_[i] != pat_[k]) k = fail_[k];
            if (pat_[i] == pat_[k]) ++k;
            fail_[i + 1] = k;
        }
    }

    bool found() const noexcept { return found_; }

    bool feed(const char* p, std::size_t n)
    {
        const char* end = p + n;
        while (!found_ && p < end) {
            if (k_ == 0) {
                const void* hit = std::memchr(p, pat_[0], static_cast<std::size_t>(end - p));
                if (hit == nullptr) break;
                p = static_cast<const char*>(hit);
            }
            while (k_ > 0 && *p != pat_[k_]) k_ = fail_[k_];
            if (*p == pat_[k_]) ++k_;
            ++p;
            if (k_ == pat_.size()) found_ = true;
        }
        return found_;
    }

private:
    std::string pat_;
    std::vector<std::size_t> fail_;
    std::size_t k_ = 0;
    bool found_ = false;
};

// ===========================================================================
// Window search: std::regex over a bounded window
// ===========================================================================
//
// First, running std::regex on a stack of known size. Its backtracking
// executor recurses once per input byte of the match being tried, its
// breadth-first executor once per NFA state of an epsilon closure. Searches
// that may go deep run on a thread of our own whose stack is mapped with
// MAP_NORESERVE: the size is only reserved address space, pages are
// committed as the recursion touches them, and a PROT_NONE guard page below
// turns an impossible overflow into a clean fault instead of memory
// corruption.

constexpr std::size_t kMinStackBytes = std::size_t{512} << 20;
constexpr std::size_t kMaxStackBytes = std::size_t{64} << 30;
// Measured with libstdc++ 12 at -O2: one executor step (_M_dfs plus its
// handler) takes 160-190 bytes of stack; rounded up.
constexpr std::size_t kFrameBytes = 256;
// Below this bound a search runs on the calling thread.
constexpr std::size_t kInlineStackBytes = 256u << 10;

struct StackJob {
    void (*fn)(void*);
    void* arg;
    std::exception_ptr error;
};

void* stackTrampoline(void* p)
{
    auto* job = static_cast<StackJob*>(p);
    try {
        job->fn(job->arg);
    } catch (...) {
        job->error = std::current_exception();
    }
    return nullptr;
}

// Calls fn(arg) on a new thread with `bytes` of stack and waits for it;
// rethrows what fn threw. Throws std::bad_alloc if the stack or the thread
// cannot be had.
void runOnBigStack(std::size_t bytes, void (*fn)(void*), void* arg)
{
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    bytes = (bytes + page - 1) / page * page;
    const std::size_t total = bytes + page;
    void* mem = ::mmap(nullptr, total, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mem == MAP_FAILED) throw std::bad_alloc();
    struct Unmap {
        void* m;
        std::size_t n;
        ~Unmap() { ::munmap(m, n); }
    } unmap{mem, total};
    ::mprotect(mem, page, PROT_NONE);  // guard page at the low end

    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) throw std::bad_alloc();
    StackJob job{fn, arg, nullptr};
    int rc = ::pthread_attr_setstack(&attr, static_cast<char*>(mem) + page, bytes);
    pthread_t tid;
    if (rc == 0) rc = ::pthread_create(&tid, &attr, stackTrampoline, &job);
    ::pthread_attr_destroy(&attr);
    if (rc == EAGAIN || rc == ENOMEM) throw std::bad_alloc();
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
    ::pthread_join(tid, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

// Calls fn(arg) on the calling thread when it needs at most
// kInlineStackBytes of stack (threads here have megabytes), else on a
// thread with at least `bytes` of stack.
void runWithStack(std::size_t bytes, void (*fn)(void*), void* arg)
{
    if (bytes <= kInlineStackBytes)
        fn(arg);
    else
        runOnBigStack(std::max(bytes, kMinStackBytes), fn, arg);
}

// Then the window search itself, for what the automaton cannot do
// (back-references, lookahead, syntax we decline). Each piece is searched together with the kWindowBytes bytes
// that preceded it, so a match is found when it starts there or in the
// piece; match_prev_avail keeps ^ false and \b right at the window's left
// edge. Pieces longer than kWindowBytes are searched as consecutive
// kWindowBytes pieces, where a match that reaches the end of an inner one is
// left to the next one (the text does not end there, so $ and \b cannot be
// judged yet).
//
// Stack bound. With the breadth-first executor (__polynomial, any pattern
// without back-references) the recursion is one epsilon closure deep: at
// most one step per NFA state, times the lookahead nesting, whatever the
// input. The backtracking executor, needed for back-references, recurses
// per byte of the match it tries; along one path it enters a repeat's body
// at most twice at one position (libstdc++'s _M_rep_count), so a node is
// visited at most 3 times per position and each byte adds at most
// 3 * states steps (times the lookahead nesting). The searched range is at
// most 2 * kWindowBytes, hence the stack is bounded by
// range * 3 * states * (lookahead nesting + 1) * kFrameBytes, which we
// reserve (at least kMinStackBytes). For a pattern so large that this would
// exceed kMaxStackBytes, the window and the pieces shrink so the bound holds.
class WindowSearch {
public:
    static constexpr std::size_t kWin = PromptMatcher::kWindowBytes;

    WindowSearch(std::regex re, bool backtracking, std::size_t states, int lookDepth,
                 const std::string& pattern)
        : re_(std::move(re)), backtracking_(backtracking), literal_(pattern)
    {
        const std::size_t nesting = static_cast<std::size_t>(lookDepth) + 1;
        if (backtracking_) {
            perByte_ = 3 * states * nesting * kFrameBytes;
            std::size_t fit = kMaxStackBytes / perByte_;
            std::size_t range = std::min(2 * kWin, fit > 4 ? fit - 2 : 2);
            chunk_ = std::max<std::size_t>(1, range / 2);
            win_ = std::min(kWin, range - chunk_);
        } else {
            closureBytes_ = 3 * (states + 16) * nesting * kFrameBytes;
        }
    }

    // Answer for the empty output.
    bool searchEmpty()
    {
        static const char kNothing[1] = {'\0'};
        return search(kNothing, kNothing, std::regex_constants::match_default, false);
    }

    // Searches the newest piece with its window; true if a match is found.
    bool feed(const char* p, std::size_t n)
    {
        if (n == 0) return total_ == 0 && searchEmpty();
        for (std::size_t off = 0; off < n; off += chunk_) {
            std::size_t len = std::min(chunk_, n - off);
            bool inner = off + len < n;
            literal_.feed(p + off, len);
            buf_.assign(hist_);
            buf_.append(p + off, len);
            std::size_t winLen = std::min<std::size_t>(std::min<std::uint64_t>(total_, win_), hist_.size());
            const char* first = buf_.data() + (hist_.size() - winLen);
            auto flags = std::regex_constants::match_default;
            if (total_ > winLen) flags |= std::regex_constants::match_prev_avail;
            if (inner) flags |= std::regex_constants::match_not_eol;
            bool found = search(first, buf_.data() + buf_.size(), flags, inner);
            total_ += len;
            std::size_t keep = std::min(buf_.size(), win_ + 1);  // +1: the byte before the window
            hist_.assign(buf_, buf_.size() - keep, keep);
            if (found) return true;
        }
        return false;
    }

private:
    struct Job {
        WindowSearch* self;
        const char* first;
        const char* last;
        std::regex_constants::match_flag_type flags;
        bool inner;
        bool found;
    };

    static void runJob(void* p)
    {
        auto* j = static_cast<Job*>(p);
        std::cmatch m;
        j->found = std::regex_search(j->first, j->last, m, j->self->re_, j->flags);
        if (j->found && j->inner && m[0].second == j->last) j->found = false;
    }

    // std::regex_search over [first, last) with a stack that cannot
    // overflow; a regex_error from it falls back to the literal answer.
    bool search(const char* first, const char* last, std::regex_constants::match_flag_type flags, bool inner)
    {
        Job job{this, first, last, flags, inner, false};
        std::size_t need = closureBytes_;
        if (backtracking_) need = static_cast<std::size_t>(last - first + 2) * perByte_;
        try {
            runWithStack(need, runJob, &job);
        } catch (const std::regex_error&) {
            // what the caller's std::regex path did: look for the text
            return literal_.found();
        }
        return job.found;
    }

    std::regex re_;
    bool backtracking_;
    LiteralSearch literal_;
    std::size_t win_ = kWin;
    std::size_t chunk_ = kWin;
    std::size_t perByte_ = 0;       // backtracking: stack per searched byte
    std::size_t closureBytes_ = 0;  // breadth-first: stack for any search
    std::string hist_;  // up to win_ + 1 bytes that precede the next piece
    std::string buf_;
    std::uint64_t total_ = 0;
};

// Patterns this long are compiled by std::regex on a big stack: its
// compiler recurses once per term of a sequence.
constexpr std::size_t kLongPattern = 2048;
// More NFA instructions than this and the pattern goes to Window mode.
constexpr std::size_t kMaxNfaStates = 20000;
// What we assume of a pattern our parser could not size.
constexpr std::size_t kUnknownStates = 100000;  // libstdc++'s own NFA limit

struct CompileJob {
    const std::string* pattern;
    std::regex_constants::syntax_option_type flags;
    std::regex re;
};

void compileJob(void* p)
{
    auto* j = static_cast<CompileJob*>(p);
    j->re = std::regex(*j->pattern, j->flags);
}

// How many "(?=" and "(?!" the pattern text has: at least its lookahead
// nesting, for patterns our parser could not read.
int countLookaheads(const std::string& pattern)
{
    int n = 0;
    for (std::size_t i = 0; i + 2 < pattern.size(); ++i)
        if (pattern[i] == '(' && pattern[i + 1] == '?' && (pattern[i + 2] == '=' || pattern[i + 2] == '!')) ++n;
    return n;
}

// std::regex(pattern, flags), compiled where its recursion has room.
std::regex compileRegex(const std::string& pattern, std::regex_constants::syntax_option_type flags)
{
    CompileJob job{&pattern, flags, std::regex()};
    std::size_t need = pattern.size() > kLongPattern ? kMinStackBytes : 0;
    runWithStack(need, compileJob, &job);
    return std::move(job.re);
}

}  // namespace

// ===========================================================================
// Public API
// ===========================================================================

struct PromptMatcher::Impl {
    Mode mode = Mode::Literal;
    bool fed = false;
    bool sticky = false;       // answer of the last feed; once true, stays
    bool emptyAnswer = false;  // answer for the empty output
    LiteralSearch literal;
    std::unique_ptr<Dfa> dfa;
    std::unique_ptr<WindowSearch> window;
};

PromptMatcher::PromptMatcher(const std::string& pattern) : impl_(std::make_unique<Impl>())
{
    Impl& im = *impl_;
    std::regex re;
    try {
        re = compileRegex(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        im.mode = Mode::Literal;
        im.literal = LiteralSearch(pattern);
        im.emptyAnswer = im.literal.found();
        return;
    }

    CharInfo ci;
    Ast ast;
    bool parsed = true;
    try {
        Parser(pattern, ci, ast).parse();
    } catch (const Decline&) {
        parsed = false;
    }

    if (parsed && !ast.hasBackref && !ast.hasLookahead && !ast.unsupported) {
        Nfa nfa;
        if (NfaBuilder(ast, nfa, kMaxNfaStates).build()) {
            im.mode = Mode::Automaton;
            im.dfa = std::make_unique<Dfa>(std::move(nfa), ci.word);
            im.emptyAnswer = im.dfa->matchesAtEnd();
            return;
        }
    }

    im.mode = Mode::Window;
    std::size_t states = parsed ? estimateStates(ast, ast.root, kUnknownStates) + 3 : kUnknownStates;
    int lookDepth = parsed ? ast.lookaheadDepth : countLookaheads(pattern);
    bool backtracking = false;
    std::regex poly;
    try {
        poly = compileRegex(pattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
    } catch (const std::regex_error&) {
        backtracking = true;  // back-references need the backtracking executor
    }
    im.window = std::make_unique<WindowSearch>(backtracking ? std::move(re) : std::move(poly), backtracking,
                                               states, lookDepth, pattern);
    im.emptyAnswer = im.window->searchEmpty();
}

PromptMatcher::~PromptMatcher() = default;
PromptMatcher::PromptMatcher(PromptMatcher&&) noexcept = default;
PromptMatcher& PromptMatcher::operator=(PromptMatcher&&) noexcept = default;

bool PromptMatcher::feed(const char* data, std::size_t size)
{
    if (!impl_) return false;  // moved-from
    Impl& im = *impl_;
    if (im.sticky) return true;
    bool first = !im.fed;
    im.fed = true;
    bool answer = false;
    switch (im.mode) {
    case Mode::Literal: answer = im.literal.feed(data, size); break;
    case Mode::Automaton: {
        auto* p = reinterpret_cast<const unsigned char*>(data);
        answer = im.dfa->run(p, p + size) || im.dfa->matchesAtEnd();
        break;
    }
    case Mode::Window:
        answer = size == 0 ? first && im.emptyAnswer : im.window->feed(data, size);
        break;
    }
    im.sticky = answer;
    return answer;
}

bool PromptMatcher::matched() const noexcept
{
    if (!impl_) return false;
    return impl_->fed ? impl_->sticky : impl_->emptyAnswer;
}

PromptMatcher::Mode PromptMatcher::mode() const noexcept
{
    return impl_ ? impl_->mode : Mode::Literal;
}

bool PromptMatcher::search(const std::string& pattern, const std::string& text)
{
    PromptMatcher m(pattern);
    return m.feed(text.data(), text.size());
}
