#include "support/fakes.h"

namespace sentrok::test {

MsgAnswer FakeMessageBoxes::ask(const Message& m)
{
    asked << m;
    if (m.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return m_answers.isEmpty() ? MsgAnswer::Yes : m_answers.takeFirst();
}

void FakeMessageBoxes::tell(const Message& m) { told << m; }

std::unique_ptr<Notice> FakeMessageBoxes::notice(const Message& m)
{
    struct Handle final : Notice {
        std::shared_ptr<OpenNotice> state;
        bool isOpen() const override { return state->open; }
        void setText(const QString& text) override { state->message.text = text; }
    };
    told << m;
    notices << std::make_shared<OpenNotice>(OpenNotice{m});
    auto h = std::make_unique<Handle>();
    h->state = notices.last();
    return h;
}

}  // namespace sentrok::test
