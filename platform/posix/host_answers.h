// host_answers.h: the system resolver's recent answers for a host name.
//
// Every send looks the computer's own name up. The answer is kept and given again while the
// resolver's files stay as they were and the answer is younger than its lifetime: a name
// server's answer can change without any local file changing, so it is never kept for long.
// Failed look-ups are not kept (a name server may answer the next time).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/facts_view.h"

namespace kx::plat::backend {

using HostAddress = std::array<std::uint8_t, 4>;

class HostAnswers {
  public:
    using Clock = std::chrono::steady_clock;

    // `files`: what the resolver's answers depend on; a change to any of them drops the answer.
    HostAnswers(std::vector<std::string> files, Clock::duration lifetime);

    // The files' stamps now; taken before a look-up and given to Keep, so that a file changed
    // during the look-up is noticed by the next Find.
    std::vector<FileStamp> Stamps() const;
    // The kept answer for `name`, when the files still match `stamps` and it is not too old.
    std::optional<HostAddress> Find(std::string_view name, const std::vector<FileStamp>& stamps,
                                    Clock::time_point now);
    void Keep(std::string_view name, const HostAddress& address, std::vector<FileStamp> stamps,
              Clock::time_point now);

  private:
    struct Answer {
        std::string name;
        HostAddress address{};
        std::vector<FileStamp> stamps;
        Clock::time_point taken;
    };

    const std::vector<std::string> files_;
    const Clock::duration lifetime_;
    std::mutex mutex_;
    std::optional<Answer> answer_;  // one name: the library asks for this computer's
};

}  // namespace kx::plat::backend
