#pragma once
// A throw-away PostgreSQL cluster of the test's own: made with initdb in a private temporary
// folder, listening only on a Unix socket in that folder (no TCP), stopped and removed when the
// object goes. The server refuses to run as root, so under root it runs as the `postgres` system
// user that Debian's package makes, on a folder given to that user. Starting waits until the
// server takes connections (pg_ctl -w): no sleeps.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "PgConnection.h"

namespace tovi::testing {

class PgCluster {
public:
    PgCluster() {
        m_bin = ServerBinaries();
        if (m_bin.empty()) {
            m_error = "no PostgreSQL server under /usr/lib/postgresql (Debian's postgresql package)";
            return;
        }
        char pattern[] = "/tmp/tovi-pg-XXXXXX";
        if (!mkdtemp(pattern)) {
            m_error = "no temporary folder";
            return;
        }
        m_dir = pattern;
        if (geteuid() == 0) {
            const passwd* user = getpwnam("postgres");
            if (!user) {
                m_error = "running as root and there is no postgres user to run the server as";
                return;
            }
            m_asUser = true;
            if (chown(m_dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
                m_error = "the folder cannot be given to the postgres user";
                return;
            }
        }
        m_port = FreePort();
        const std::string data = m_dir + "/data";
        if (Run({m_bin + "/initdb", "-D", data, "-U", "tovi", "-A", "trust", "-E", "UTF8", "--locale=C",
                 "-N"}) != 0) {
            m_error = "initdb failed: " + Log();
            return;
        }
        m_ok = Start();
    }
    ~PgCluster() {
        if (m_paused) Resume();
        if (!m_dir.empty()) {
            Stop();
            std::error_code ignored;
            std::filesystem::remove_all(m_dir, ignored);
        }
    }
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }

    // Starts the server (again) and waits until it takes connections.
    bool Start() {
        const std::string options = "-c listen_addresses='' -c unix_socket_directories='" + m_dir + "' -p " +
                                    std::to_string(m_port) + " -c fsync=off -c synchronous_commit=off";
        if (Run({m_bin + "/pg_ctl", "-D", m_dir + "/data", "-l", m_dir + "/server.log", "-o", options, "-w",
                 "-t", "60", "start"}) != 0) {
            m_error = "the server did not start: " + Log();
            return false;
        }
        m_running = true;
        return true;
    }
    // Stops the server at once (connections are cut) and waits until it is gone.
    bool Stop() {
        if (!m_running) return true;
        m_running = false;
        return Run({m_bin + "/pg_ctl", "-D", m_dir + "/data", "-m", "fast", "-w", "-t", "60", "stop"}) == 0;
    }

    // A server that hangs while its kernel still answers: this cluster's postmaster and its
    // children stopped (SIGSTOP), and carried on again (SIGCONT). Connections are still taken
    // by the system; nothing is answered.
    bool Pause() {
        if (!Signal(SIGSTOP)) return false;
        m_paused = true;
        return true;
    }
    bool Resume() {
        m_paused = false;
        return Signal(SIGCONT);
    }

    // A connection string for the maintenance database, or for `database`.
    std::string Conninfo(const std::string& database = "postgres") const {
        return "host=" + m_dir + " port=" + std::to_string(m_port) + " user=tovi dbname=" + database;
    }
    // A new, empty database of its own; its connection string.
    std::string NewDatabase() {
        const std::string name = "t" + std::to_string(++m_databases);
        std::string error;
        auto conn = PgConnection::Connect(Conninfo(), error);
        if (!conn || !conn->Run("CREATE DATABASE " + name)) return {};
        return Conninfo(name);
    }

private:
    // The postmaster first on the way down, so that no new child escapes; its children first on
    // the way up. Only processes whose parent is this cluster's postmaster are touched.
    bool Signal(int sig) {
        pid_t postmaster = 0;
        if (FILE* f = fopen((m_dir + "/data/postmaster.pid").c_str(), "r")) {
            long pid = 0;
            if (fscanf(f, "%ld", &pid) == 1) postmaster = static_cast<pid_t>(pid);
            fclose(f);
        }
        if (postmaster <= 0) return false;
        if (sig == SIGSTOP && kill(postmaster, sig) != 0) return false;
        if (DIR* proc = opendir("/proc")) {
            while (const dirent* entry = readdir(proc)) {
                const long pid = std::atol(entry->d_name);
                if (pid <= 0) continue;
                FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
                if (!f) continue;
                char line[1024] = {};
                const size_t n = fread(line, 1, sizeof line - 1, f);
                fclose(f);
                const std::string stat(line, n);
                const size_t end = stat.rfind(')');
                long parent = 0;
                if (end != std::string::npos && std::sscanf(stat.c_str() + end + 1, " %*c %ld", &parent) == 1 &&
                    parent == postmaster)
                    kill(static_cast<pid_t>(pid), sig);
            }
            closedir(proc);
        }
        return sig == SIGSTOP || kill(postmaster, sig) == 0;
    }

    // The newest installed major version's server programs.
    static std::string ServerBinaries() {
        std::vector<std::filesystem::path> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
            if (std::filesystem::exists(entry.path() / "bin" / "initdb")) found.push_back(entry.path());
        }
        if (found.empty()) return {};
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return std::atoi(a.filename().c_str()) < std::atoi(b.filename().c_str());
        });
        return (found.back() / "bin").string();
    }
    // A port number no one listens on now: it only names the socket file in the private folder.
    static int FreePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        int port = 0;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        if (fd >= 0) close(fd);
        return port > 0 ? port : 5432 + static_cast<int>(std::random_device()() % 1000);
    }
    // Runs a program (as the postgres user under root), its output into the folder's log; its exit code.
    int Run(std::vector<std::string> args) {
        if (m_asUser) args.insert(args.begin(), {"/usr/sbin/runuser", "-u", "postgres", "--"});
        const std::string log = m_dir + "/tool.log";
        const pid_t child = fork();
        if (child < 0) return -1;
        if (child == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            const int null = open("/dev/null", O_RDONLY);
            if (null >= 0) dup2(null, 0);
            // The server must not hold the test's pipes or sockets open.
            for (int other = 3; other < 1024; ++other) close(other);
            if (chdir(m_dir.c_str()) != 0) _exit(126);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Log() const {
        std::string text;
        for (const char* name : {"/tool.log", "/server.log"}) {
            FILE* f = fopen((m_dir + name).c_str(), "r");
            if (!f) continue;
            char buffer[4096];
            size_t n = 0;
            while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
            fclose(f);
        }
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

    std::string m_bin, m_dir, m_error;
    int m_port = 0;
    bool m_asUser = false;
    bool m_ok = false;
    bool m_running = false;
    bool m_paused = false;
    int m_databases = 0;
};

// One cluster for the whole test program, started when first needed and removed at its end.
inline PgCluster& SharedPgCluster() {
    static PgCluster cluster;
    return cluster;
}

}  // namespace tovi::testing
