#pragma once
#include <QString>
#include <functional>
namespace sentrok {
struct ProbeRequest {
    QString host, wait, ttl, count, length;
};  // texts as stored in the host record (ip, vw, vi, vn, vl)
struct ProbeOutcome {
    QString result{};  // decimal text of the truncated mean; "" for an empty host; "-1" when no
                       // echo was answered
    QString error{};   // not empty: this host's check could not run (a wait/count that cannot be
                       // converted, a sum overflow, a host text over 64 characters); the words for
                       // the user, e.g. "время ожидания \"abc\" не число"
    bool failed() const { return !error.isEmpty(); }
};
// Asks one host's check and reports its outcome later.
class Prober {
public:
    virtual ~Prober() = default;
    using Done = std::function<void(const ProbeOutcome&)>;
    // Starts one probe. `done` is called exactly once, later, from the event loop (never from
    // inside start()).
    virtual quint64 start(const ProbeRequest& request, Done done) = 0;
    // Forgets a probe still running: its `done` is never called.
    virtual void cancel(quint64 id) = 0;
};
}  // namespace sentrok
