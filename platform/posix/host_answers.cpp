// host_answers.cpp: the resolver's answer for one host name, kept while its files are unchanged.
#include "platform/posix/host_answers.h"

#include <utility>

namespace kx::plat::backend {

HostAnswers::HostAnswers(std::vector<std::string> files, Clock::duration lifetime)
    : files_(std::move(files)), lifetime_(lifetime) {}

std::vector<FileStamp> HostAnswers::Stamps() const {
    std::vector<FileStamp> stamps;
    stamps.reserve(files_.size());
    for (const std::string& file : files_) stamps.push_back(FileStamp::Of(file.c_str()));
    return stamps;
}

std::optional<HostAddress> HostAnswers::Find(std::string_view name,
                                             const std::vector<FileStamp>& stamps,
                                             Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (!answer_ || answer_->name != name || answer_->stamps != stamps) return std::nullopt;
    if (now - answer_->taken >= lifetime_) return std::nullopt;
    return answer_->address;
}

void HostAnswers::Keep(std::string_view name, const HostAddress& address,
                       std::vector<FileStamp> stamps, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    answer_ = Answer{std::string(name), address, std::move(stamps), now};
}

}  // namespace kx::plat::backend
