#include "platform/browser.h"

#include <curl/curl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

namespace ryvoobs {
namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

bool is_web_url(const std::string& url) {
    if (url.find('\0') != std::string::npos) {
        return false;
    }
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    char* scheme = nullptr;
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return false;
    }
    const bool web = strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0;
    curl_free(scheme);
    return web;
}

// Openers that outlived their wait. They are reaped on later calls, so that none stays a zombie
// for longer than the next attempt; the lock is a leaf.
std::mutex& lingering_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<pid_t>& lingering_openers() {
    static std::vector<pid_t> pids;
    return pids;
}

void reap_lingering_openers() {
    const std::lock_guard lock(lingering_mutex());
    std::erase_if(lingering_openers(), [](pid_t pid) {
        int status = 0;
        return waitpid(pid, &status, WNOHANG) != 0;
    });
}

void remember_lingering_opener(pid_t pid) {
    const std::lock_guard lock(lingering_mutex());
    lingering_openers().push_back(pid);
}

// The opener's exit status, or nothing when it is still running at the deadline.
std::optional<int> wait_for_exit(pid_t pid, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        int status = 0;
        const pid_t reaped = waitpid(pid, &status, WNOHANG);
        if (reaped == pid) {
            return status;
        }
        if (reaped < 0 && errno != EINTR) {
            return -1;  // not ours to wait for any more: report a failure
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace

BrowserOpenResult open_in_default_browser(const std::string& url, std::chrono::milliseconds wait) {
    if (!is_web_url(url)) {
        return BrowserOpenResult::invalid_url;
    }
    reap_lingering_openers();

    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        return BrowserOpenResult::failed;
    }
    const std::optional<int> status = wait_for_exit(pid, wait);
    if (!status) {
        remember_lingering_opener(pid);
        return BrowserOpenResult::opened;
    }
    return WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? BrowserOpenResult::opened
                                                           : BrowserOpenResult::failed;
}

}  // namespace ryvoobs
