#include "text/dagitty.hpp"

#include <unordered_set>

namespace zeph::text {

DagittyError::DagittyError(std::size_t line, std::size_t column, const std::string& what)
    : std::runtime_error("line " + std::to_string(line) + ", column " + std::to_string(column) +
                         ": " + what),
      message_("line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what),
      line_(line),
      column_(column) {}

namespace {

enum class Tok {
  Name,      // a bare or quoted name
  Value,     // an attribute value after '='
  LBrace,    // {
  RBrace,    // }
  LBracket,  // [
  RBracket,  // ]
  Semi,      // ;
  Comma,     // ,
  Equals,    // =
  Forward,   // ->
  Backward,  // <-
  Both,      // <->
  Invalid,   // a character that starts no token
  End,
};

struct Token {
  Tok kind = Tok::End;
  std::size_t at = 0;  // byte offset of the first character
  bool quoted = false;
  std::string text;  // the name or value; the character for Invalid
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The length in bytes of the white space character at the start of `s`, or 0. Besides ASCII
// white space: the byte order mark and Unicode's spaces (U+0085, U+00A0, U+1680, U+2000 to
// U+200A, U+2028, U+2029, U+202F, U+205F, U+3000), which text copied from a web page or a
// word processor carries; read as part of a name they would make names differ unseen.
std::size_t space_length(std::string_view s) {
  if (s.empty()) return 0;
  if (is_space(s[0])) return 1;
  auto b = [&](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0U; };
  if (b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;
  if (b(0) == 0xE2 && b(1) == 0x80 &&
      (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF)) {
    return 3;
  }
  if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;
  if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;
  if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) return 3;
  return 0;
}

// Bare names: ASCII letters, digits, '_' and '.', and any non-ASCII character.
bool is_name_char(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.';
}

// Characters that end a bare attribute value.
bool ends_value(char c) {
  return is_space(c) || c == ',' || c == ';' || c == '[' || c == ']' || c == '{' || c == '}' ||
         c == '=' || c == '"';
}

class Lexer {
 public:
  explicit Lexer(std::string_view s) : s_(s) {}

  // The 1-based line and column of a byte offset. Lines end at "\n", "\r\n" or a lone "\r";
  // columns count code points.
  std::pair<std::size_t, std::size_t> position(std::size_t at) const {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < at && i < s_.size(); ++i) {
      const char c = s_[i];
      if (c == '\n' || (c == '\r' && (i + 1 >= s_.size() || s_[i + 1] != '\n'))) {
        ++line;
        column = 1;
      } else if (c != '\r' && (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        ++column;
      }
    }
    return {line, column};
  }

  [[noreturn]] void fail(std::size_t at, const std::string& what) const {
    auto [line, column] = position(at);
    throw DagittyError(line, column, what);
  }

  std::string where(std::size_t at) const {
    auto [line, column] = position(at);
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
  }

  Token next() {
    skip_space();
    Token t;
    t.at = pos_;
    if (pos_ >= s_.size()) return t;
    const char c = s_[pos_];
    auto single = [&](Tok kind) {
      ++pos_;
      t.kind = kind;
      return t;
    };
    switch (c) {
      case '{':
        return single(Tok::LBrace);
      case '}':
        return single(Tok::RBrace);
      case '[':
        return single(Tok::LBracket);
      case ']':
        return single(Tok::RBracket);
      case ';':
        return single(Tok::Semi);
      case ',':
        return single(Tok::Comma);
      case '=':
        return single(Tok::Equals);
      case '"':
        t.kind = Tok::Name;
        t.quoted = true;
        t.text = quoted("name");
        return t;
      case '-':
        if (ahead(1) == '>') {
          pos_ += 2;
          t.kind = Tok::Forward;
          return t;
        }
        if (ahead(1) == '-') {
          if (ahead(2) == '@') circle_mark("--@");
          fail(pos_,
               "undirected edge '--': zeph reads DAGs only; write a directed edge (-> or <-) or "
               "a bidirected one (<->)");
        }
        break;
      case '<':
        if (ahead(1) == '-') {
          if (ahead(2) == '>') {
            pos_ += 3;
            t.kind = Tok::Both;
            return t;
          }
          if (ahead(2) == '@') circle_mark("<-@");
          pos_ += 2;
          t.kind = Tok::Backward;
          return t;
        }
        break;
      case '@':
        if (ahead(1) == '-') {
          const char third = ahead(2);
          circle_mark(third == '>' ? "@->" : third == '@' ? "@-@" : third == '-' ? "@--" : "@-");
        }
        break;
      default:
        if (is_name_char(c)) {
          const std::size_t start = pos_;
          while (pos_ < s_.size() && is_name_char(s_[pos_]) && space_length(s_.substr(pos_)) == 0) {
            ++pos_;
          }
          t.kind = Tok::Name;
          t.text.assign(s_.substr(start, pos_ - start));
          return t;
        }
    }
    t.kind = Tok::Invalid;
    t.text.assign(1, c);
    ++pos_;
    return t;
  }

  // The value after '=': a quoted text or a bare run of characters. Anything else comes back
  // as the token it starts, for the caller to report.
  Token value() {
    skip_space();
    Token t;
    t.at = pos_;
    if (pos_ < s_.size() && s_[pos_] == '"') {
      t.kind = Tok::Value;
      t.text = quoted("value");
      return t;
    }
    const std::size_t start = pos_;
    while (pos_ < s_.size() && !ends_value(s_[pos_]) && space_length(s_.substr(pos_)) == 0) {
      ++pos_;
    }
    if (pos_ == start) return next();
    t.kind = Tok::Value;
    t.text.assign(s_.substr(start, pos_ - start));
    return t;
  }

 private:
  char ahead(std::size_t k) const { return pos_ + k < s_.size() ? s_[pos_ + k] : '\0'; }

  [[noreturn]] void circle_mark(const char* edge) const {
    fail(pos_, std::string("edge '") + edge +
                   "' has a circle mark, as in a pag: zeph reads DAGs only; write a directed edge "
                   "(-> or <-) or a bidirected one (<->)");
  }

  // Whitespace and comments: '#' or '//' to the end of the line, '/* ... */'.
  void skip_space() {
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (std::size_t n = space_length(s_.substr(pos_))) {
        pos_ += n;
      } else if (c == '#' || (c == '/' && ahead(1) == '/')) {
        while (pos_ < s_.size() && s_[pos_] != '\n' && s_[pos_] != '\r') ++pos_;
      } else if (c == '/' && ahead(1) == '*') {
        const std::size_t close = s_.find("*/", pos_ + 2);
        if (close == std::string_view::npos) {
          fail(pos_, "expected '*/' to close the comment that starts here, found end of text");
        }
        pos_ = close + 2;
      } else {
        return;
      }
    }
  }

  // A text in double quotes; a backslash takes the next character as it is.
  std::string quoted(const char* what) {
    const std::size_t open = pos_++;
    std::string out;
    while (pos_ < s_.size()) {
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c == '\\' && pos_ < s_.size()) {
        out += s_[pos_++];
      } else {
        out += c;
      }
    }
    fail(open, std::string("expected '\"' to close the quoted ") + what +
                   " that starts here, found end of text");
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

// How a token is named in a message.
std::string describe(const Token& t) {
  auto shown = [](const std::string& s) {
    constexpr std::size_t kLimit = 40;
    if (s.size() <= kLimit) return s;
    std::size_t cut = kLimit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return s.substr(0, cut) + "...";
  };
  switch (t.kind) {
    case Tok::Name:
      return t.quoted ? "the quoted name \"" + shown(t.text) + "\"" : "'" + shown(t.text) + "'";
    case Tok::Value:
      return "'" + shown(t.text) + "'";
    case Tok::LBrace:
      return "'{'";
    case Tok::RBrace:
      return "'}'";
    case Tok::LBracket:
      return "'['";
    case Tok::RBracket:
      return "']'";
    case Tok::Semi:
      return "';'";
    case Tok::Comma:
      return "','";
    case Tok::Equals:
      return "'='";
    case Tok::Forward:
      return "'->'";
    case Tok::Backward:
      return "'<-'";
    case Tok::Both:
      return "'<->'";
    case Tok::Invalid: {
      auto u = static_cast<unsigned char>(t.text[0]);
      if (u < 0x20 || u == 0x7F) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        return std::string("the character U+00") + kHex[u >> 4] + kHex[u & 15];
      }
      return "'" + t.text + "'";
    }
    case Tok::End:
      break;
  }
  return "end of text";
}

bool is_arrow(Tok k) {
  return k == Tok::Forward || k == Tok::Backward || k == Tok::Both;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : lex_(text) {}

  DagittyGraph run() {
    advance();
    bool wrapped = false;
    std::size_t open_at = 0;
    if (cur_.kind == Tok::Name && !cur_.quoted &&
        (cur_.text == "dag" || cur_.text == "pdag" || cur_.text == "mag" || cur_.text == "pag")) {
      Token keyword = take();
      if (cur_.kind == Tok::LBrace) {
        if (keyword.text != "dag") {
          lex_.fail(keyword.at,
                    keyword.text + " graphs are not supported: zeph reads DAGs only (dag { ... })");
        }
        wrapped = true;
        open_at = cur_.at;
        advance();
      } else {
        statement(std::move(keyword));
      }
    }
    for (;;) {
      switch (cur_.kind) {
        case Tok::End:
          if (wrapped) {
            lex_.fail(cur_.at, "expected '}' to close the graph opened at " + lex_.where(open_at) +
                                   ", found end of text");
          }
          return std::move(g_);
        case Tok::RBrace:
          if (!wrapped) {
            lex_.fail(cur_.at,
                      "expected a statement (a name, '{' or ';'), found '}' (no graph "
                      "is open)");
          }
          advance();
          if (cur_.kind != Tok::End) {
            lex_.fail(cur_.at, "expected end of text after the '}' that closes the graph, found " +
                                   describe(cur_));
          }
          return std::move(g_);
        case Tok::Semi:
          advance();
          break;
        case Tok::Name:
        case Tok::LBrace:
          statement(take());
          break;
        default:
          lex_.fail(cur_.at, std::string("expected a statement (a name, '{' or ';')") +
                                 (wrapped ? " or '}'" : "") + ", found " + describe(cur_));
      }
    }
  }

 private:
  void advance() { cur_ = lex_.next(); }
  Token take() {
    Token t = std::move(cur_);
    advance();
    return t;
  }

  // One statement from its first token: a graph attribute (name = value), or nodes and groups
  // joined by edges, followed by attribute lists.
  void statement(Token first) {
    if (first.kind == Tok::Name && cur_.kind == Tok::Equals) {
      expect_value();
      advance();
      return;
    }
    std::vector<std::string> left = target(std::move(first));
    bool edges = false;
    while (is_arrow(cur_.kind)) {
      const Token arrow = take();
      if (cur_.kind != Tok::Name && cur_.kind != Tok::LBrace) {
        lex_.fail(cur_.at,
                  "expected a name or '{' after " + describe(arrow) + ", found " + describe(cur_));
      }
      std::vector<std::string> right = target(take());
      for (const auto& a : left) {
        for (const auto& b : right) {
          if (arrow.kind == Tok::Forward) g_.directed.emplace_back(a, b);
          if (arrow.kind == Tok::Backward) g_.directed.emplace_back(b, a);
          if (arrow.kind == Tok::Both) g_.bidirected.emplace_back(a, b);
        }
      }
      left = std::move(right);
      edges = true;
    }
    // After edges the attributes belong to the edges, which carry nothing zeph reads.
    while (cur_.kind == Tok::LBracket) attributes(edges ? nullptr : &left);
  }

  // A name, or a group `{A B ...}` (groups may nest; they are flattened), whose first token
  // has been taken.
  std::vector<std::string> target(Token first) {
    if (first.kind == Tok::Name) {
      mention(first.text);
      return {std::move(first.text)};
    }
    std::vector<std::string> names;
    std::vector<std::size_t> open = {first.at};
    while (!open.empty()) {
      switch (cur_.kind) {
        case Tok::Name:
          mention(cur_.text);
          names.push_back(std::move(cur_.text));
          advance();
          break;
        case Tok::LBrace:
          open.push_back(cur_.at);
          advance();
          break;
        case Tok::RBrace:
          open.pop_back();
          advance();
          break;
        case Tok::Semi:
        case Tok::Comma:
          advance();
          break;
        default:
          lex_.fail(cur_.at, "expected a name, '{' or '}' in the group opened at " +
                                 lex_.where(open.back()) + ", found " + describe(cur_));
      }
    }
    return names;
  }

  // One list `[key, key = value, ...]`; node attributes apply to `nodes` (null for edges).
  void attributes(const std::vector<std::string>* nodes) {
    const std::size_t open = cur_.at;
    advance();
    for (;;) {
      if (cur_.kind == Tok::RBracket) {
        advance();
        return;
      }
      if (cur_.kind != Tok::Name) {
        lex_.fail(cur_.at, "expected an attribute name or ']' to close the list opened at " +
                               lex_.where(open) + ", found " + describe(cur_));
      }
      const Token key = take();
      if (cur_.kind == Tok::Equals) {
        expect_value();
        advance();
      }
      if (nodes != nullptr) {
        for (const auto& n : *nodes) declare(key.text, n);
      }
      if (cur_.kind == Tok::Comma || cur_.kind == Tok::Semi) advance();
    }
  }

  // cur_ is '=': reads the value after it.
  void expect_value() {
    Token v = lex_.value();
    if (v.kind != Tok::Value) {
      lex_.fail(v.at, "expected a value after '=', found " + describe(v));
    }
  }

  void mention(const std::string& name) {
    if (seen_.insert(name).second) g_.nodes.push_back(name);
  }

  void declare(const std::string& key, const std::string& node) {
    auto add = [&](std::unordered_set<std::string>& seen, std::vector<std::string>& list) {
      if (seen.insert(node).second) list.push_back(node);
    };
    if (key == "latent") add(latent_, g_.latent);
    if (key == "exposure") add(exposures_, g_.exposures);
    if (key == "outcome") add(outcomes_, g_.outcomes);
  }

  Lexer lex_;
  Token cur_;
  DagittyGraph g_;
  std::unordered_set<std::string> seen_, latent_, exposures_, outcomes_;
};

}  // namespace

DagittyGraph read_dagitty(std::string_view text) {
  return Parser(text).run();
}

}  // namespace zeph::text
