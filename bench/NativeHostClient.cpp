#include "NativeHostClient.h"

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace vellum::bench {

NativeHostClient::NativeHostClient(std::string program, std::string home, std::string tokenModule)
    : program_(std::move(program)), home_(std::move(home)), tokenModule_(std::move(tokenModule)) {}

NativeHostClient::~NativeHostClient() {
    std::string ignored;
    stop(ignored);
}

bool NativeHostClient::start(std::string& error) {
    int in[2];
    int out[2];
    if (::pipe(in) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (::pipe(out) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    std::vector<std::string> variables{"HOME=" + home_};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "HOME=", 5) != 0) {
            variables.emplace_back(*variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string moduleOption = "--token-module";
    std::string noPinDialog = "--no-pin-dialog";
    std::string mode = "native-messaging";
    char* argv[] = {program_.data(),    moduleOption.data(), tokenModule_.data(),
                    noPinDialog.data(), mode.data(),         nullptr};
    const int spawned =
        ::posix_spawn(&pid_, program_.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
    if (spawned != 0) {
        pid_ = -1;
        error = "cannot start " + program_ + ": " + std::strerror(spawned);
        return false;
    }
    channel_ = std::make_unique<host::FrameChannel>(fromHost_, toHost_);
    return true;
}

bool NativeHostClient::request(const host::Json& request, host::Json& answer, std::string& error) {
    if (!channel_) {
        error = "the native host is not running";
        return false;
    }
    std::string frame;
    if (!channel_->write(request.dump(), error)) {
        return false;
    }
    if (channel_->read(frame, error) != host::FrameChannel::Read::Frame) {
        error = "no answer from the native host: " + error;
        return false;
    }
    answer = host::Json::parse(frame, nullptr, false);
    if (!answer.is_object() || answer.contains("error") || answer.contains("part")) {
        error = "the native host answered " + frame.substr(0, 200);
        return false;
    }
    return true;
}

bool NativeHostClient::write(const std::string& property, const std::string& text,
                             std::string& error) {
    host::Json answer;
    return request({{"id", ++next_}, {"op", "set"}, {"name", property}, {"value", text}}, answer,
                   error);
}

bool NativeHostClient::readSignature(std::string& envelope, std::string& error) {
    host::Json answer;
    if (!request({{"id", ++next_}, {"op", "get"}, {"name", "Signature"}}, answer, error)) {
        return false;
    }
    auto result = answer.find("result");
    if (result == answer.end() || !result->is_string() ||
        result->get_ref<const std::string&>().compare(0, 8, "US65001:") != 0) {
        error = "Signature through the native host gave " + answer.dump();
        return false;
    }
    envelope = result->get<std::string>();
    return true;
}

bool NativeHostClient::version(std::string& text, std::string& error) {
    host::Json answer;
    if (!request({{"id", ++next_}, {"op", "call"}, {"name", "getVersion"}}, answer, error)) {
        return false;
    }
    text = answer.value("result", std::string());
    return !text.empty();
}

double NativeHostClient::cpuMs() const {
    clockid_t clock;
    timespec now{};
    if (pid_ <= 0 || ::clock_getcpuclockid(pid_, &clock) != 0 ||
        ::clock_gettime(clock, &now) != 0) {
        return 0;
    }
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

bool NativeHostClient::stop(std::string& error) {
    if (toHost_ >= 0) {
        ::close(toHost_);
        toHost_ = -1;
    }
    bool ok = true;
    if (pid_ > 0) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            error =
                "the native host did not end cleanly (wait status " + std::to_string(status) + ")";
            ok = false;
        }
    }
    if (fromHost_ >= 0) {
        ::close(fromHost_);
        fromHost_ = -1;
    }
    channel_.reset();
    return ok;
}

}  // namespace vellum::bench
