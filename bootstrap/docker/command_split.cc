#include "bootstrap/docker/command_split.h"

#include <stdexcept>

namespace bootstrap::docker {

std::vector<std::string> split_command(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  // A word exists once any of its characters, or an empty pair of quotes, has
  // been read; blanks alone make none.
  bool in_word = false;
  auto end_word = [&] {
    if (in_word) words.push_back(std::move(word));
    word.clear();
    in_word = false;
  };

  for (std::size_t i = 0; i < command.size(); ++i) {
    char c = command[i];
    switch (c) {
      case ' ':
      case '\t':
      case '\n':
        end_word();
        break;
      case '\'': {
        std::size_t close = command.find('\'', i + 1);
        if (close == std::string::npos)
          throw std::invalid_argument("unterminated single quote in command: " + command);
        word.append(command, i + 1, close - i - 1);
        in_word = true;
        i = close;
        break;
      }
      case '"': {
        std::size_t j = i + 1;
        for (; j < command.size() && command[j] != '"'; ++j) {
          if (command[j] == '\\' && j + 1 < command.size() &&
              (command[j + 1] == '"' || command[j + 1] == '\\')) {
            ++j;
          }
          word.push_back(command[j]);
        }
        if (j >= command.size())
          throw std::invalid_argument("unterminated double quote in command: " + command);
        in_word = true;
        i = j;
        break;
      }
      case '\\':
        if (i + 1 >= command.size())
          throw std::invalid_argument("trailing backslash in command: " + command);
        word.push_back(command[++i]);
        in_word = true;
        break;
      default:
        word.push_back(c);
        in_word = true;
        break;
    }
  }
  end_word();
  return words;
}

}  // namespace bootstrap::docker
