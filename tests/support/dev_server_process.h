// tools/ryvo-dev-server as a child process on a free loopback port; it exits by itself should
// this process die first. Control calls use the product's HTTP session: its faults fail a test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/http_session.h"

extern char** environ;

namespace ryvoobs::test_support {

struct DevServerOptions {
    std::vector<std::pair<std::string, std::string>> streams{{"stream-1", "key-1"}};
    // Both set: the server speaks HTTPS with this certificate.
    std::string tls_cert;
    std::string tls_key;
};

class DevServerProcess {
  public:
    explicit DevServerProcess(const DevServerOptions& options = {}) {
        static int started = 0;
        const std::string port_file = std::filesystem::temp_directory_path() /
                                      ("ryvo-dev-server-" + std::to_string(getpid()) + "-" +
                                       std::to_string(++started) + ".port");
        std::vector<std::string> args{"/usr/bin/python3", RYVO_SOURCE_DIR "/tools/ryvo-dev-server",
                                      "--port-file",      port_file,
                                      "--parent-pid",     std::to_string(getpid())};
        for (const auto& [id, key] : options.streams) {
            args.insert(args.end(), {"--stream", id + ":" + key});
        }
        if (!options.tls_cert.empty()) {
            args.insert(args.end(), {"--tls-cert", options.tls_cert, "--tls-key", options.tls_key});
        }
        std::vector<char*> argv(args.size() + 1, nullptr);
        std::transform(args.begin(), args.end(), argv.begin(),
                       [](auto& arg) { return arg.data(); });
        // Its errors go to the test's own output; the ready and summary lines nowhere.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            throw std::runtime_error("dev server: cannot start /usr/bin/python3");
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int port = 0;
        while (!(std::ifstream(port_file) >> port)) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
            }
            if (pid_ < 0 || std::chrono::steady_clock::now() > deadline) {
                stop();
                throw std::runtime_error("dev server did not start; its errors are above");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::filesystem::remove(port_file);
        base_url_ = (options.tls_cert.empty() ? "http" : "https") + std::string("://127.0.0.1:") +
                    std::to_string(port);
    }

    ~DevServerProcess() { stop(); }

    DevServerProcess(const DevServerProcess&) = delete;
    DevServerProcess& operator=(const DevServerProcess&) = delete;
    // Without a trailing slash: an api_endpoint.
    const std::string& base_url() const { return base_url_; }
    pid_t pid() const { return pid_; }

    nlohmann::json control(const std::string& name, const nlohmann::json& request = {}) {
        return dev_request(HttpMethod::post, name, request.is_null() ? "{}" : request.dump());
    }

    nlohmann::json report() { return dev_request(HttpMethod::get, "report"); }

  private:
    nlohmann::json dev_request(HttpMethod method, const std::string& name, std::string body = {}) {
        const HttpExchange answer = HttpSession().perform(
            method, base_url_ + "/_dev/" + name, {},
            {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
        if (answer.status != 200) {
            throw std::runtime_error("dev server " + name + ": " + std::to_string(answer.status) +
                                     " " + answer.error);
        }
        return nlohmann::json::parse(answer.body);
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    std::string base_url_;
};

}  // namespace ryvoobs::test_support
