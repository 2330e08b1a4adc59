#include "kitpack/cli/unknown_word.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kitpack::cli {
namespace {

// Edit distance, for "did you mean".
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// The closest of `names` to `word`, when close enough to be a slip.
std::string Suggestion(const std::string& word, const std::vector<std::string>& names) {
  std::string best;
  size_t best_distance = 3;
  for (const std::string& n : names) {
    const size_t d = Distance(word, n);
    const bool prefix = word.size() >= 4 && n.compare(0, word.size(), word) == 0;
    if (prefix && best.empty()) best = n, best_distance = 1;
    if (d < best_distance) best = n, best_distance = d;
  }
  return best.empty() ? "" : " (did you mean " + best + "?)";
}

std::vector<std::string> OptionNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::Option* o : app.get_options()) {
    for (const std::string& n : o->get_lnames()) names.push_back("--" + n);
    for (const std::string& n : o->get_snames()) names.push_back("-" + n);
  }
  return names;
}

bool LooksLikeNumber(const std::string& w) {
  return w.size() > 1 && w[0] == '-' && std::isdigit(static_cast<unsigned char>(w[1]));
}

}  // namespace

std::string UnknownWord(CLI::App& app, int argc, char** argv) {
  std::vector<CLI::App*> commands = app.get_subcommands([](CLI::App*) { return true; });
  std::vector<std::string> command_names;
  for (CLI::App* c : commands) command_names.push_back(c->get_name());
  CLI::App* current = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") break;
    if (word.size() > 1 && word[0] == '-' && !LooksLikeNumber(word)) {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* option = current->get_option_no_throw(name);
      if (!option && current != &app) option = app.get_option_no_throw(name);
      if (!option && name.size() > 2 && name[1] != '-') {
        // A cluster of one-letter flags, "-qv".
        bool all = true;
        for (size_t k = 1; k < name.size(); ++k)
          all = all && current->get_option_no_throw(std::string("-") + name[k]) != nullptr;
        if (all) continue;
      }
      if (!option) {
        std::vector<std::string> known = OptionNames(*current);
        const std::string where = current == &app ? "" : " for kitpack " + current->get_name();
        return "unknown option " + name + where + Suggestion(name, known);
      }
      if (option->get_type_size() != 0 && word.find('=') == std::string::npos) ++i;
      continue;
    }
    if (current != &app) continue;  // a positional argument of the command
    CLI::App* command = nullptr;
    for (CLI::App* c : commands)
      if (c->get_name() == word) command = c;
    if (!command)
      return "unknown command " + word + Suggestion(word, command_names) +
             "; the commands are build, list, verify and extract";
    current = command;
  }
  return "";
}

}  // namespace kitpack::cli
