// Reads causal graphs written in dagitty's graph syntax:
//   dag { X -> M -> Y ; X <-> Y ; U [latent] ; X [exposure] ; Y [outcome] ; U -> {X Y} }
// The `dag { }` wrapper is optional; statements are separated by ';', newlines or whitespace;
// chains, `<-`, `<->`, groups `{A B}`, quoted names, node and graph attributes and `#`, `//`
// and `/* */` comments are read. Only DAGs are accepted: undirected edges, circle marks and
// pdag/mag/pag graphs are errors.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zeph::text {

// A text that is not a DAG in dagitty's syntax. The message starts with the 1-based line and
// column ("line 2, column 7: expected ...").
class DagittyError : public std::runtime_error {
 public:
  DagittyError(std::size_t line, std::size_t column, const std::string& what);
  const std::string& message() const noexcept { return message_; }
  std::size_t line() const noexcept { return line_; }
  std::size_t column() const noexcept { return column_; }

 private:
  std::string message_;
  std::size_t line_;
  std::size_t column_;
};

using NamePair = std::pair<std::string, std::string>;

// A graph as the text writes it.
struct DagittyGraph {
  std::vector<NamePair> directed;    // (cause, effect), in the order of the text
  std::vector<NamePair> bidirected;  // in the order of the text
  std::vector<std::string> nodes;    // every node once, in order of first mention
  // Nodes with the attribute, each once, in order of first declaration.
  std::vector<std::string> latent;
  std::vector<std::string> exposures;
  std::vector<std::string> outcomes;
};

// Reads `text` (UTF-8) in one pass without recursion: nesting costs no stack. Columns count
// code points. Throws DagittyError.
DagittyGraph read_dagitty(std::string_view text);

}  // namespace zeph::text
