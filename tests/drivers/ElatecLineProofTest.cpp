// The Elatec line's proof against what a reader may send inside it that the emulated reader cannot:
// the lines here are played from a script on a clock of their own, so no wait costs real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "drivers/ElatecTWN/Framer.h"
#include "drivers/ElatecTWN/PRS.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A line that puts the script's next text on the wire, all at once, whenever the host writes; a
// read with nothing left waits its whole time.
class ScriptedLine : public PRS::Port
{
public:
    ScriptedLine(double nowMs, std::vector<std::string> script) : m_now(nowMs), m_script(std::move(script)) {}
    size_t write(const std::vector<uint8_t>& bytes) override
    {
        if (m_next < m_script.size())
            m_input += m_script[m_next++];
        return bytes.size();
    }
    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        const size_t count = std::min(want, m_input.size() - m_read);
        if (count == 0)
            m_now += waitMs;
        out.assign(m_input.begin() + static_cast<long>(m_read),
                   m_input.begin() + static_cast<long>(m_read + count));
        m_read += count;
        return count > 0;
    }
    void flush() override { m_read = m_input.size(); }
    double now() const override { return m_now; }

private:
    double m_now;
    std::vector<std::string> m_script;
    size_t m_next = 0;
    std::string m_input;
    size_t m_read = 0;
};

// An ASCII line cut at the framer's limit ends only at its terminator: the rest, which may read as
// a proof's first answer (here one character past the limit, since the line began with a stray
// byte), is no answer, nor is a whole text after it that an earlier proof was owed. Taken for them,
// they would prove the line, and the command would take the proof's own first answer for its own.
TEST(PRSLine, RestOfAnOverlongLineInsideAProofIsNoAnswer)
{
    // At 5 s the proof asks for 6 characters of "TWN4/B1.65/X4.06/PRS1.04".
    const std::string overlong(2 * ElatecTWN::Framer::MaxFrame + 1, '0');
    const std::string first = "000654574E342F42\r\n";
    const std::string whole = "001854574E342F42312E36352F58342E30362F505253312E3034\r\n";
    PRS prs(std::make_unique<ScriptedLine>(
                5000, std::vector<std::string>{overlong + first + whole + first + whole, "00112233\r\n"}),
            PRS::ASCII);
    Bytes answer;
    ASSERT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
    EXPECT_EQ(answer, Bytes({0x11, 0x22, 0x33}));
}

}  // namespace
