// The Elatec reader's serial line behind a driver that takes only the first bytes of one write, as
// one does whose output buffer stays full; every other write, and every read, goes through whole.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drivers/ElatecTWN/PRS.h"

namespace testsupport {

class PartWritePort : public PRS::Port
{
public:
    // keep: how much of the first write goes out (0: all of it); startAt: what now() reads at first
    // (the line's own clock when not given), the waits unchanged.
    PartWritePort(const std::string& device, size_t keep, double startAt = -1)
        : m_line(PRS::serialLine(device)), m_keep(keep), m_offset(startAt < 0 ? 0 : startAt - m_line->now())
    {
    }
    size_t write(const std::vector<uint8_t>& bytes) override
    {
        const size_t taken = std::min(std::exchange(m_keep, 0), bytes.size());
        return taken == 0 ? m_line->write(bytes)
                          : m_line->write(std::vector<uint8_t>(bytes.begin(), bytes.begin() + taken));
    }
    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        return m_line->read(want, waitMs, out);
    }
    void flush() override { m_line->flush(); }
    double now() const override { return m_line->now() + m_offset; }

private:
    std::unique_ptr<PRS::Port> m_line;
    size_t m_keep;
    double m_offset;
};

}  // namespace testsupport
