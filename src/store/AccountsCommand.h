#pragma once
// The web panel's accounts from the command line, without a window:
//   tovistats --add-user NAME --role viewer|moderator|admin [--data-dir DIR]
//   tovistats --remove-user NAME [--data-dir DIR]
//   tovistats --list-users [--data-dir DIR]
//   tovistats --new-token NAME [--data-dir DIR]
// A password is never taken from the command line (other users see it in the process list): it
// is asked twice on a terminal without echo, or read as one line from standard input otherwise.
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tovi {

// True when the arguments (the program's name left out) ask for one of the commands above.
bool WantsAccountCommand(const std::vector<std::string>& args);

// Answers the exit code: 0 done, 1 the database refused or there is no such account, 2 the
// command line or the password is wrong. `defaultFolder` is the data folder when --data-dir is
// not given; `in` is read for the password when it is not a terminal.
int RunAccountCommand(const std::vector<std::string>& args, const std::string& defaultFolder,
                      std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace tovi
