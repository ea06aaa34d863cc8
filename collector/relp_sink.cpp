// relp_sink.cpp: the collector's RELP receivers: each alert as one RFC 5424 message, numbered
// by its RELP transaction, acknowledged by the receiver's positive reply.
#include <memory>
#include <vector>

#include "collector/collector.h"

namespace kx::collect {

namespace {

class RelpSink final : public AlertSink {
  public:
    RelpSink(const RelpTarget& target, std::uint32_t enterpriseNumber)
        : sender_(target), name_(RelpUrl(target)), enterpriseNumber_(enterpriseNumber) {
        if (target.tlsCa) {
            settings_ = "over TLS (CA " + LogText(*target.tlsCa);
            if (target.tlsCert) settings_ += ", certificate " + LogText(*target.tlsCert);
            settings_ += ")";
        }
    }

    const std::string& name() const override { return name_; }
    std::string Settings() const override { return settings_; }
    bool Connect() override { return sender_.Connect(); }
    bool open() const override { return sender_.open(); }
    int Send(const Alert& alert, const AlertOrigin& origin, std::size_t& bytes) override {
        const std::string message = FormatAlertMessage(alert, origin, enterpriseNumber_);
        // librelp holds a copy of the message until its reply.
        bytes = message.size();
        return sender_.Send(message);
    }
    bool Close() override { return sender_.Close(); }
    void Abandon() override { sender_.Abandon(); }
    std::string Describe() const override { return sender_.Describe(); }
    SinkReplies& replies() override { return sender_.replies(); }

  private:
    RelpSender sender_;
    std::string name_;
    std::string settings_ = "without TLS";
    std::uint32_t enterpriseNumber_;
};

}  // namespace

// Every file given is checked before a session is tried.
std::vector<std::unique_ptr<AlertSink>> RelpSinks(const CollectorOptions& options) {
    CheckTlsFiles(options.target);
    std::vector<std::unique_ptr<AlertSink>> sinks;
    sinks.push_back(std::make_unique<RelpSink>(options.target, options.enterpriseNumber));
    for (const RelpTarget& alternate : options.alternates)
        sinks.push_back(std::make_unique<RelpSink>(alternate, options.enterpriseNumber));
    return sinks;
}

Collector::Collector(CollectorOptions options, LogFn log)
    : Collector(options, RelpSinks(options), std::move(log)) {}

}  // namespace kx::collect
