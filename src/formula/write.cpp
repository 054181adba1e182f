#include "formula/write.hpp"

#include <algorithm>
#include <string_view>

#include "utils/stack_guard.hpp"

namespace zeph::formula {

namespace {

using form::Form;
using K = Form::Kind;

// Text: names that hold a character of the notation (or nothing at all) are quoted.
struct TextStyle {
  static constexpr std::string_view kSum = "∑_";
  static constexpr std::string_view kMid = " | ";
  static constexpr std::string_view kOpen = "(";
  static constexpr std::string_view kClose = ")";

  static bool plain(std::string_view s) {
    if (s.empty()) return false;
    if (s.find("∑") != std::string_view::npos) return false;
    for (unsigned char c : s) {
      if (c <= 0x20 || c == 0x7f) return false;
      switch (c) {
        case '|':
        case ',':
        case '(':
        case ')':
        case '{':
        case '}':
        case '/':
        case '\'':
        case '"':
          return false;
        default:
          break;
      }
    }
    return true;
  }

  static void name(std::string& out, std::string_view s) {
    if (plain(s)) {
      out += s;
      return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        default:
          if (c < 0x20 || c == 0x7f) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
          } else {
            out += static_cast<char>(c);
          }
      }
    }
    out += '"';
  }

  static void sum(std::string& out, const std::vector<std::string>& subs) {
    out += kSum;
    if (subs.size() == 1) {
      out += subs.front();
    } else {
      out += '{';
      for (std::size_t i = 0; i < subs.size(); ++i) {
        if (i) out += ", ";
        out += subs[i];
      }
      out += '}';
    }
    out += ' ';
  }
  static void fraction(std::string& out, const std::string& numer, bool numer_bare,
                       const std::string& denom, bool denom_bare) {
    if (!numer_bare) out += '(';
    out += numer;
    if (!numer_bare) out += ')';
    out += " / ";
    if (!denom_bare) out += '(';
    out += denom;
    if (!denom_bare) out += ')';
  }
  static constexpr bool kFractionNeedsParens = true;

  // P(vars | do(fixed), given), with ^(domain) after the P.
  template <class List>
  static void labelled(std::string& out, const std::string& domain, List list,
                       const std::vector<VarId>& vars, const std::vector<VarId>& fixed,
                       const std::vector<VarId>& given) {
    out += 'P';
    if (!domain.empty()) {
      out += "^(";
      name(out, domain);
      out += ')';
    }
    out += '(';
    list(vars);
    if (!fixed.empty()) {
      out += " | do(";
      list(fixed);
      out += ')';
    }
    if (!given.empty()) {
      out += fixed.empty() ? " | " : ", ";
      list(given);
    }
    out += ')';
  }
};

// LaTeX: one ASCII letter stays as it is, other names of ASCII letters and digits go in
// \mathrm, anything else in \text with the characters that \text cannot hold in all three
// renderers written in math mode instead. MathJax takes \text literally and mathtext knows no
// math-mode ampersand: & stays \& inside \text, which MathJax shows as written unless its
// textmacros extension is loaded.
struct LatexStyle {
  static constexpr std::string_view kSum = "\\sum_{";
  static constexpr std::string_view kMid = " \\mid ";
  static constexpr std::string_view kOpen = "\\left(";
  static constexpr std::string_view kClose = "\\right)";

  static bool alnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  }

  static void name(std::string& out, std::string_view s) {
    if (s.size() == 1 && alnum(static_cast<unsigned char>(s[0])) && !(s[0] >= '0' && s[0] <= '9')) {
      out += s;
      return;
    }
    bool simple = !s.empty();
    for (unsigned char c : s) simple = simple && alnum(c);
    if (simple) {
      out += "\\mathrm{";
      out += s;
      out += '}';
      return;
    }
    if (s.empty()) {
      out += "\\text{\"\"}";
      return;
    }
    bool in_text = false;
    auto text_mode = [&](bool on) {
      if (on == in_text) return;
      out += on ? "\\text{" : "}";
      in_text = on;
    };
    for (unsigned char c : s) {
      const char* math = nullptr;
      const char* text = nullptr;
      switch (c) {
        case '\\':
          math = "\\backslash ";
          break;
        case '{':
          math = "\\{";
          break;
        case '}':
          math = "\\}";
          break;
        case '_':
          math = "\\_";
          break;
        case '%':
          math = "\\%";
          break;
        case '$':
          math = "\\$";
          break;
        case '#':
          math = "\\#";
          break;
        case '<':
          math = "<";
          break;
        case '>':
          math = ">";
          break;
        case '|':
          math = "\\vert ";
          break;
        case '&':
          text = "\\&";
          break;
        case '^':
          math = "\\hat{}";
          break;
        case '~':
          math = "\\sim ";
          break;
        default:
          // Control characters have no glyph anywhere.
          if (c < 0x20 || c == 0x7f) text = "?";
          break;
      }
      if (math) {
        text_mode(false);
        out += math;
      } else {
        text_mode(true);
        if (text) {
          out += text;
        } else {
          out += static_cast<char>(c);
        }
      }
    }
    text_mode(false);
  }

  static void sum(std::string& out, const std::vector<std::string>& subs) {
    out += kSum;
    for (std::size_t i = 0; i < subs.size(); ++i) {
      if (i) out += ", ";
      out += subs[i];
    }
    out += "} ";
  }
  static void fraction(std::string& out, const std::string& numer, bool, const std::string& denom,
                       bool) {
    out += "\\frac{";
    out += numer;
    out += "}{";
    out += denom;
    out += '}';
  }
  static constexpr bool kFractionNeedsParens = false;

  // P^{(domain)}_{fixed}(vars \mid given).
  template <class List>
  static void labelled(std::string& out, const std::string& domain, List list,
                       const std::vector<VarId>& vars, const std::vector<VarId>& fixed,
                       const std::vector<VarId>& given) {
    out += 'P';
    if (!domain.empty()) {
      out += "^{(";
      name(out, domain);
      out += ")}";
    }
    if (!fixed.empty()) {
      out += "_{";
      list(fixed);
      out += '}';
    }
    out += '(';
    list(vars);
    if (!given.empty()) {
      out += kMid;
      list(given);
    }
    out += ')';
  }
};

template <class Style>
class Writer {
 public:
  Writer(const Form& f, const Names& names, const VarSet& visible, const SourceLabels* labels)
      : names_(names), primes_(names.size(), -1), labels_(labels) {
    // The variables an experiment fixes are named in its terms: free there unless summed.
    VarSet shown = set_utils::union_(labels ? free_of(f) : form::free(f), visible);
    for (VarId v : shown) {
      if (static_cast<std::size_t>(v) < primes_.size()) primes_[static_cast<std::size_t>(v)] = 0;
    }
  }

  std::string write(const Form& f) {
    StackGuard::check();
    std::string out;
    switch (f.kind()) {
      case K::P:
        p(out, form::as_p(f));
        break;
      case K::Marginal: {
        const auto& m = form::as_marginal(f);
        std::vector<int> saved;
        std::vector<std::string> subs;
        for (VarId v : m.sub) {
          int& depth = primes_[static_cast<std::size_t>(v)];
          saved.push_back(depth);
          depth = depth >= 0 ? depth + 1 : 0;
          subs.push_back(name(v));
        }
        Style::sum(out, subs);
        out += write(m.exp);
        std::size_t i = 0;
        for (VarId v : m.sub) primes_[static_cast<std::size_t>(v)] = saved[i++];
        break;
      }
      case K::Product: {
        const auto& exprs = form::as_product(f).exprs;
        for (std::size_t i = 0; i < exprs.size(); ++i) {
          if (i) out += ' ';
          // A sum reaches to the end of its group: only the last factor may be one unbracketed.
          bool wrap = (exprs[i].kind() == K::Marginal && i + 1 < exprs.size()) ||
                      (exprs[i].kind() == K::Quotient && Style::kFractionNeedsParens);
          if (wrap) out += Style::kOpen;
          out += write(exprs[i]);
          if (wrap) out += Style::kClose;
        }
        break;
      }
      case K::Quotient: {
        const auto& q = form::as_quotient(f);
        Style::fraction(out, write(q.numer), q.numer.kind() == K::P, write(q.denom),
                        q.denom.kind() == K::P);
        break;
      }
      case K::Hedge:
        break;
    }
    return out;
  }

 private:
  VarSet free_of(const Form& f) const {
    StackGuard::check();
    switch (f.kind()) {
      case K::P: {
        const auto& term = form::as_p(f);
        VarSet out = set_utils::union_(set_utils::make_set(term.vars), set_utils::make_set(term.given));
        if (term.source > 0 && static_cast<std::size_t>(term.source) < labels_->size()) {
          for (VarId v : (*labels_)[static_cast<std::size_t>(term.source)].fixed) out.insert(v);
        }
        return out;
      }
      case K::Marginal:
        return set_utils::difference(free_of(form::as_marginal(f).exp), form::as_marginal(f).sub);
      case K::Product: {
        VarSet out;
        for (const auto& e : form::as_product(f).exprs) out = set_utils::union_(out, free_of(e));
        return out;
      }
      case K::Quotient:
        return set_utils::union_(free_of(form::as_quotient(f).numer),
                                 free_of(form::as_quotient(f).denom));
      case K::Hedge:
        break;
    }
    return {};
  }

  std::string name(VarId v) const {
    std::string out;
    Style::name(out, names_[static_cast<std::size_t>(v)]);
    for (int i = 0; i < primes_[static_cast<std::size_t>(v)]; ++i) out += '\'';
    return out;
  }

  void p(std::string& out, const form::P<VarId>& term) const {
    if (term.vars.empty() && term.given.empty()) {
      out += '1';
      return;
    }
    auto list = [&](const std::vector<VarId>& vars) {
      for (std::size_t i = 0; i < vars.size(); ++i) {
        if (i) out += ", ";
        out += name(vars[i]);
      }
    };
    if (labels_ && term.source > 0 && static_cast<std::size_t>(term.source) < labels_->size()) {
      const SourceLabel& label = (*labels_)[static_cast<std::size_t>(term.source)];
      if (!label.fixed.empty() || !label.domain.empty()) {
        Style::labelled(out, label.domain, list, term.vars, label.fixed, term.given);
        return;
      }
    }
    out += "P(";
    list(term.vars);
    if (!term.given.empty()) {
      out += Style::kMid;
      list(term.given);
    }
    out += ')';
  }

  const Names& names_;
  std::vector<int> primes_;  // per variable: how many primes its name takes now; -1 unbound
  const SourceLabels* labels_;
};

}  // namespace

std::string text(const Form& formula, const Names& names, const VarSet& visible,
                 const SourceLabels* labels) {
  return Writer<TextStyle>(formula, names, visible, labels).write(formula);
}

std::string latex(const Form& formula, const Names& names, const VarSet& visible,
                  const SourceLabels* labels) {
  return Writer<LatexStyle>(formula, names, visible, labels).write(formula);
}

}  // namespace zeph::formula
