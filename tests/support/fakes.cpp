#include "support/fakes.h"

namespace sentrok::test {

MsgAnswer FakeMessageBoxes::ask(const Message& m)
{
    asked << m;
    if (m.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return m_answers.isEmpty() ? MsgAnswer::Yes : m_answers.takeFirst();
}

void FakeMessageBoxes::tell(const Message& m) { told << m; }

}  // namespace sentrok::test
