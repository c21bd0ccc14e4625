// Runs tools/ryvo-dev-server as a child process for the length of a test: a local ingest server
// on a free loopback port, with control and report calls. The destructor always ends and reaps
// the child, also when the test fails half-way; the child also exits on its own when this process
// dies (--parent-pid).
#pragma once

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace ryvoobs::test_support {

struct DevServerOptions {
    std::vector<std::pair<std::string, std::string>> streams{{"stream-1", "key-1"}};
    // Empty: segments are checked and counted but not written out.
    std::string data_dir;
    // Both set: the server speaks HTTPS with this certificate.
    std::string tls_cert;
    std::string tls_key;
    std::vector<std::string> extra_args;
};

struct DevServerReply {
    long status = 0;
    std::string body;
};

class DevServerProcess {
  public:
    explicit DevServerProcess(DevServerOptions options = {}) : options_(std::move(options)) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ryvo-dev-server-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("dev server: cannot make a temporary folder");
        }
        work_dir_ = pattern;
        try {
            spawn();
            wait_until_ready();
        } catch (...) {
            stop();
            std::error_code ignored;
            std::filesystem::remove_all(work_dir_, ignored);
            throw;
        }
    }

    ~DevServerProcess() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(work_dir_, ignored);
    }

    DevServerProcess(const DevServerProcess&) = delete;
    DevServerProcess& operator=(const DevServerProcess&) = delete;

    // "http://127.0.0.1:PORT" (or https), without a trailing slash: an api_endpoint.
    const std::string& base_url() const { return base_url_; }
    int port() const { return port_; }
    // Where the server writes its stdout (ready line, exit summary) and stderr.
    std::filesystem::path log_path() const { return work_dir_ / "server.log"; }

    // POST /_dev/<name> with a JSON body; throws unless the server answers 200.
    nlohmann::json control(const std::string& name, const nlohmann::json& request = {}) {
        const DevServerReply reply =
            exchange("POST", "/_dev/" + name, request.is_null() ? "{}" : request.dump());
        return checked_json(name, reply);
    }

    nlohmann::json report() { return checked_json("report", exchange("GET", "/_dev/report", "")); }

    // One plain request to the server (control or ingest paths), for tests that need a raw
    // answer. A transport failure gives status 0.
    DevServerReply exchange(const std::string& method, const std::string& path,
                            const std::string& body,
                            const std::vector<std::string>& headers = {}) const {
        DevServerReply reply;
        CURL* curl = curl_easy_init();
        if (curl == nullptr) {
            return reply;
        }
        const std::string url = base_url_ + path;
        curl_slist* header_list = nullptr;
        for (const std::string& header : headers) {
            header_list = curl_slist_append(header_list, header.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (method != "GET") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(body.size()));
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &append_body);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // The child's throw-away certificate names no host; this is our own loopback child.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        if (curl_easy_perform(curl) == CURLE_OK) {
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        } else {
            reply.body.clear();
        }
        curl_slist_free_all(header_list);
        curl_easy_cleanup(curl);
        return reply;
    }

    // Asks the server to shut down (SIGTERM) and reaps it, killing it if it takes more than
    // five seconds. Returns its exit status (128 + signal when killed); idempotent.
    int stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            exit_status_ = reap_within(std::chrono::seconds(5));
            if (exit_status_ < 0) {
                kill(pid_, SIGKILL);
                int status = 0;
                waitpid(pid_, &status, 0);
                exit_status_ = decode(status);
            }
            pid_ = -1;
        }
        return exit_status_;
    }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    static size_t append_body(char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    }

    static int decode(int status) {
        if (WIFEXITED(status)) {
            return WEXITSTATUS(status);
        }
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

    static nlohmann::json checked_json(const std::string& what, const DevServerReply& reply) {
        if (reply.status != 200) {
            throw std::runtime_error("dev server " + what + ": status " +
                                     std::to_string(reply.status) + " " + reply.body);
        }
        return nlohmann::json::parse(reply.body);
    }

    void spawn() {
        const std::string script = std::string(RYVO_SOURCE_DIR) + "/tools/ryvo-dev-server";
        std::vector<std::string> args{"/usr/bin/python3", script,
                                      "--port",           "0",
                                      "--port-file",      (work_dir_ / "port").string(),
                                      "--parent-pid",     std::to_string(getpid())};
        for (const auto& [id, key] : options_.streams) {
            args.push_back("--stream");
            args.push_back(id + ":" + key);
        }
        if (!options_.data_dir.empty()) {
            args.push_back("--data-dir");
            args.push_back(options_.data_dir);
        }
        if (!options_.tls_cert.empty()) {
            args.insert(args.end(),
                        {"--tls-cert", options_.tls_cert, "--tls-key", options_.tls_key});
        }
        args.insert(args.end(), options_.extra_args.begin(), options_.extra_args.end());
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        const std::string log = log_path().string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("dev server: cannot start /usr/bin/python3");
        }
    }

    void wait_until_ready() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        const std::filesystem::path port_file = work_dir_ / "port";
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exit_status_ = decode(status);
                throw std::runtime_error("dev server exited early (status " +
                                         std::to_string(exit_status_) + "); see " + read_log());
            }
            std::ifstream in(port_file);
            if (in >> port_ && port_ > 0) {
                const bool tls = !options_.tls_cert.empty();
                base_url_ =
                    std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("dev server not ready within 20 s: " + read_log());
    }

    int reap_within(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                return decode(status);
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::string read_log() const {
        std::ifstream in(log_path());
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    DevServerOptions options_;
    std::filesystem::path work_dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int exit_status_ = -1;
    std::string base_url_;
};

}  // namespace ryvoobs::test_support
