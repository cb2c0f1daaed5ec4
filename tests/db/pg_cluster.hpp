#pragma once
// A real PostgreSQL server for tests: scripts/pg-throwaway makes a new
// cluster in a temporary folder and runs it on a free port of 127.0.0.1
// (fsync off; as an unprivileged user when the tests run as root).
//
// PgCluster::shared() is the one server of a test binary: started on first
// use, so a binary's run pays initdb once, and stopped with its folder
// removed at exit. Under ctest every test is a process of its own; there a
// fixture (scripts/pg-fixture, tests/CMakeLists.txt) starts one server for
// the whole run and names a file holding its conninfo in the environment
// variable NORRIK_PG_CLUSTER_FILE, and shared() uses that server instead.
// Each test takes a database of its own from it with freshDatabase(). A
// test that stops or restarts the server makes a PgCluster of its own
// instead, so that the tests around it keep theirs.
//
// The server is started with --owner (this process): if the binary dies
// without its destructors (a crash, a kill at a time-out), the script stops
// the server and deletes the folder.
//
// When PostgreSQL is not installed, or the server does not start, the
// constructor throws std::runtime_error with the script's message: the tests
// fail and say why (a skip would hide a broken setup).

#include <libpq-fe.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "test_support.hpp"

namespace norrik_test {

class PgCluster {
public:
    PgCluster() {
        std::string pattern = (std::filesystem::temp_directory_path() / "norrik-pg-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        // The server's user (norrik-test, when running as root) passes
        // through this folder to its own cluster folder inside, but cannot
        // list it.
        ::chmod(root_.c_str(), 0711);
        dir_ = root_ + "/cluster";
        std::string line;
        int status = run("start --fast --owner " + std::to_string(::getpid()) + " '" + dir_ + "'", line);
        if (status != 0) {
            std::string message = "could not start a PostgreSQL server for the tests (scripts/pg-throwaway start, exit " +
                                  std::to_string(status) + "): " + readFile(root_ + "/script.err");
            removeRoot();
            throw std::runtime_error(message);
        }
        conninfo_ = line;
    }

    ~PgCluster() {
        if (!owned_) return;
        std::string ignored;
        run("stop '" + dir_ + "'", ignored);
        removeRoot();
    }

    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    static PgCluster& shared() {
        static PgCluster cluster = [] {
            const char* file = std::getenv("NORRIK_PG_CLUSTER_FILE");
            std::string line = file != nullptr ? readFile(file) : std::string();
            if (auto end = line.find('\n'); end != std::string::npos) line.resize(end);
            if (file != nullptr && line.empty()) {
                throw std::runtime_error(std::string("NORRIK_PG_CLUSTER_FILE names ") + file +
                                         ", which holds no conninfo: did the pg_cluster fixture start?");
            }
            return line.empty() ? PgCluster() : PgCluster(Existing{line});
        }();
        return cluster;
    }

    // "host=127.0.0.1 port=N user=norrik dbname=postgres"
    const std::string& conninfo() const { return conninfo_; }

    // A new, empty database of this server; returns its conninfo. Named
    // after this process too: several test processes share one server.
    std::string freshDatabase() {
        std::string name = "norrik_test_" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
        std::unique_ptr<PGconn, decltype(&PQfinish)> admin(PQconnectdb(conninfo_.c_str()), &PQfinish);
        if (PQstatus(admin.get()) != CONNECTION_OK) {
            throw std::runtime_error("cannot reach the test server: " + std::string(PQerrorMessage(admin.get())));
        }
        std::unique_ptr<PGresult, decltype(&PQclear)> created(
            PQexec(admin.get(), ("CREATE DATABASE " + name + " TEMPLATE template0").c_str()), &PQclear);
        if (PQresultStatus(created.get()) != PGRES_COMMAND_OK) {
            throw std::runtime_error("CREATE DATABASE failed: " + std::string(PQerrorMessage(admin.get())));
        }
        return withDatabase(name);
    }

    // Fast shutdown: open connections are closed by the server.
    void stop() {
        std::string ignored;
        if (run("stop '" + dir_ + "'", ignored) != 0) {
            throw std::runtime_error("pg-throwaway stop failed: " + readFile(root_ + "/script.err"));
        }
    }

    // Starts the server again on the same port, with its databases.
    void restart() {
        std::string line;
        if (run("restart '" + dir_ + "'", line) != 0 || line != conninfo_) {
            throw std::runtime_error("pg-throwaway restart failed: " + readFile(root_ + "/script.err"));
        }
    }

    // Whether this object started the server (and stops it).
    bool owned() const { return owned_; }

private:
    struct Existing {
        std::string conninfo;
    };
    // A server that runs already (the ctest fixture's): used, never stopped.
    explicit PgCluster(Existing existing) : conninfo_(std::move(existing.conninfo)), owned_(false) {}

    std::string withDatabase(const std::string& name) const {
        const std::string last = "dbname=postgres";
        return conninfo_.substr(0, conninfo_.size() - last.size()) + "dbname=" + name;
    }

    // Runs the script with `arguments`; `line` receives the first line it
    // printed, its messages go to script.err. Returns its exit status.
    int run(const std::string& arguments, std::string& line) {
        std::string out = root_ + "/script.out";
        std::string command = std::string("'") + NORRIK_SOURCE_DIR + "/scripts/pg-throwaway' " + arguments + " >'" +
                              out + "' 2>'" + root_ + "/script.err' </dev/null";
        int status = std::system(command.c_str());
        line = readFile(out);
        if (auto end = line.find('\n'); end != std::string::npos) line.resize(end);
        if (status == -1 || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }

    void removeRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::string root_;
    std::string dir_;
    std::string conninfo_;
    bool owned_ = true;
    int databases_ = 0;
};

}  // namespace norrik_test
