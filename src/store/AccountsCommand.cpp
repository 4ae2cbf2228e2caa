#include "AccountsCommand.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>

#include "AccountStore.h"

#if defined(TOVI_ACCOUNTS)
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "SqliteAccountStore.h"
#include "SqliteHistoryStore.h"
#include "StoreChoice.h"
#if defined(TOVI_STORE_POSTGRES)
#include "PgAccountStore.h"
#include "PgSchema.h"
#endif
#endif

namespace tovi {

namespace {

constexpr const char* kUsage =
    "Usage: tovistats --add-user NAME --role viewer|moderator|admin | --remove-user NAME | --list-users |"
    " --new-token NAME  [--data-dir DIR]\n";
constexpr size_t kMinPasswordBytes = 8;
constexpr size_t kMaxPasswordBytes = 1024;

const char* const kCommands[] = {"--add-user", "--remove-user", "--list-users", "--new-token"};

#if defined(TOVI_ACCOUNTS)
bool StdinIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

// One line from the terminal with echo off; echo comes back whatever happens.
std::optional<std::string> ReadHidden(const char* prompt, std::ostream& err) {
    err << prompt << std::flush;
    std::string line;
#if defined(_WIN32)
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool restore =
        GetConsoleMode(input, &mode) && SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    const bool ok = static_cast<bool>(std::getline(std::cin, line));
    if (restore) SetConsoleMode(input, mode);
#else
    termios old{};
    const bool restore = tcgetattr(STDIN_FILENO, &old) == 0;
    if (restore) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, line));
    if (restore) tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
#endif
    err << "\n";
    if (!ok) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> ReadPassword(std::istream& in, std::ostream& err) {
    if (!StdinIsTerminal() || &in != &std::cin) {
        std::string line;
        if (!std::getline(in, line)) return std::nullopt;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    auto first = ReadHidden("Password: ", err);
    if (!first) return std::nullopt;
    auto second = ReadHidden("Password again: ", err);
    if (!second || *first != *second) {
        err << "The two passwords differ.\n";
        return std::nullopt;
    }
    return first;
}

bool ProcessRuns(int64_t process) {
#if defined(_WIN32)
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process));
    if (!handle) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool runs = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    CloseHandle(handle);
    return runs;
#else
    return process > 0 && (kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM);
#endif
}

int64_t NowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string FormatTime(int64_t t) {
    if (t == 0) return "never";
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &tt);
#else
    gmtime_r(&tt, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}
#endif

}  // namespace

bool WantsAccountCommand(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& arg) {
        return std::any_of(std::begin(kCommands), std::end(kCommands),
                           [&](const char* command) { return arg == command; });
    });
}

int RunAccountCommand(const std::vector<std::string>& args, const std::string& defaultFolder,
                      std::istream& in, std::ostream& out, std::ostream& err) {
    std::string command, name, role, folder = defaultFolder;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isCommand = std::find_if(std::begin(kCommands), std::end(kCommands),
                                            [&](const char* c) { return arg == c; }) != std::end(kCommands);
        if (isCommand) {
            if (!command.empty()) {
                err << "Give one of " << command << " and " << arg << ".\n" << kUsage;
                return 2;
            }
            command = arg;
            if (arg == "--list-users") continue;
            if (i + 1 >= args.size()) {
                err << arg << " needs an account name.\n";
                return 2;
            }
            name = args[++i];
        } else if ((arg == "--role" || arg == "--data-dir") && i + 1 < args.size()) {
            (arg == "--role" ? role : folder) = args[++i];
        } else if (arg.starts_with("--data-dir=")) {
            folder = arg.substr(11);
        } else if (arg.starts_with("--role=")) {
            role = arg.substr(7);
        } else {
            err << "Unknown argument " << arg << ". " << kUsage;
            return 2;
        }
    }
    std::optional<Role> parsedRole;
    if (command == "--add-user") {
        parsedRole = ParseRole(role);
        if (!parsedRole) {
            err << "--add-user needs --role viewer, moderator or admin.\n";
            return 2;
        }
    } else if (!role.empty()) {
        err << "--role goes only with --add-user.\n";
        return 2;
    }
    if (!name.empty() && !ValidAccountName(name)) {
        err << "An account name is 1 to 32 letters, digits, dots, dashes or underscores.\n";
        return 2;
    }
#if defined(TOVI_ACCOUNTS)
    const std::u8string databaseU8 =
        (std::filesystem::path(std::u8string(folder.begin(), folder.end())) / "tovistats.db").u8string();
    const std::string database(databaseU8.begin(), databaseU8.end());
    std::string password;
    if (command == "--add-user") {
        // Asked before the database is touched: a mistyped password leaves nothing behind.
        auto read = ReadPassword(in, err);
        if (!read) {
            err << "No password was given: no account was added.\n";
            return 2;
        }
        if (read->size() < kMinPasswordBytes || read->size() > kMaxPasswordBytes) {
            err << "A password is " << kMinPasswordBytes << " to " << kMaxPasswordBytes
                << " characters long: no account was added.\n";
            return 2;
        }
        password = std::move(*read);
    }
    std::unique_ptr<AccountStore> accounts;
    // Said with every answer: a running copy acts on the store it opened, which may not be the
    // one settings.ini names now.
    std::string where = "the file " + database;
    std::string shared;  // the shared database's description; empty for the file
#if defined(TOVI_STORE_POSTGRES)
    const StoreChoice choice = ReadStoreChoice(std::filesystem::path(std::u8string(folder.begin(), folder.end())));
    if (choice.Shared()) {
        std::string error;
        auto conn = PgConnection::Connect(choice.Postgres, error);
        if (!conn || !pgschema::Migrate(*conn, pgschema::kSchemaVersion, error)) {
            err << "The shared database cannot keep the accounts: " << WithoutPasswords(error, choice.Postgres) << "\n";
            return 1;
        }
        auto opened = PgAccountStore::Open(choice.Postgres);
        if (!opened.Store) {
            err << WithoutPasswords(opened.Error, choice.Postgres) << "\n";
            return 1;
        }
        accounts = std::move(opened.Store);
        where = shared = StoreDescription(choice.Postgres);
    }
#endif
    if (!accounts) {
        {
            // Brings the record's schema, with the accounts' tables, to this version.
            auto record = SqliteHistoryStore::Open(database, {});
            if (!record.Store) {
                err << record.Error << "\n";
                return 1;
            }
        }
        auto opened = SqliteAccountStore::Open(database);
        if (!opened.Store) {
            err << opened.Error << "\n";
            return 1;
        }
        accounts = std::move(opened.Store);
    }
    AccountStore& store = *accounts;
    std::string error;
    // A program running on this folder checks the accounts it opened at its start.
    if (const auto panel = ReadPanelAccounts(database);
        panel && panel->Store != shared && ProcessRuns(panel->Process))
        err << "The web panel of the program running on this folder checks "
            << (panel->Store.empty() ? "the accounts in its own file" : "the accounts of " + panel->Store)
            << " until it is started again; this command acts on " << where << ".\n";
    if (command == "--add-user") {
        if (!store.AddAccount(name, *parsedRole, password, NowSeconds(), error)) {
            err << error << "\n";
            return 1;
        }
        out << "Added " << name << " as " << RoleText(*parsedRole) << " to " << where << ".\n";
    } else if (command == "--remove-user") {
        if (!store.RemoveAccount(name, error)) {
            err << (error.empty() ? "There is no account named " + name + " in " + where + "." : error) << "\n";
            return 1;
        }
        out << "Removed " << name << " and its tokens from " << where << ".\n";
    } else if (command == "--list-users") {
        err << "The accounts in " << where << ":\n";
        for (const Account& a : store.Accounts()) {
            out << a.Name << "\t" << RoleText(a.AccountRole) << "\tadded " << FormatTime(a.Created)
                << "\tlast login " << FormatTime(a.LastLogin) << "\n";
        }
    } else if (command == "--new-token") {
        const std::string token = store.NewToken(name, NowSeconds(), error);
        if (token.empty()) {
            err << error << "\n";
            return 1;
        }
        // Shown once: only its hash is kept.
        out << token << std::endl;
        err << "A token for " << name << " in " << where << ": it is shown only this once.\n";
    }
    return 0;
#else
    (void)in;
    (void)out;
    err << "This build of Tovi stats keeps no accounts (it was built without SQLite or libsodium).\n";
    return 1;
#endif
}

}  // namespace tovi
