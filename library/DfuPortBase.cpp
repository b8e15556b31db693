#include "DfuPortBase.h"

#include <algorithm>

#include "Common.h"
#include "DeviceListText.h"

namespace Dfu {

namespace {
constexpr int PAUSE_SLICE_MS = 100;
}  // namespace

std::string DeviceLine(const DfuDeviceInfo& info)
{
    return DeviceListText::FormatLine("[%04x:%04x] serial=\"%s\" intf=%d alt=%d (%s) name=\"%s\"\n", info.vendorId,
                                      info.productId, info.serial.c_str(), info.interfaceNumber,
                                      info.alternateSetting, info.dfuMode ? "DFU mode" : "runtime",
                                      info.name.c_str());
}

void Report(const std::string& text)
{
    if (!text.empty()) {
        Common::PrintPlain(text.c_str());
    }
}

DfuWatch::DfuWatch(std::function<bool()> cancelled)
    : m_cancelled(std::move(cancelled)), m_dueUs(Common::GetTimeUs())
{
}

void DfuWatch::Wait(int ms)
{
    long long leftUs = std::min<long long>(ms * 1000LL, m_dueUs - Common::GetTimeUs());
    if (leftUs > 0) {
        Common::DelayUs(static_cast<double>(leftUs));
    }
}

bool DfuWatch::Cancelled()
{
    return m_cancelled && m_cancelled();
}

bool DfuWatch::Due() const
{
    return Common::GetTimeUs() >= m_dueUs;
}

void DfuWatch::DueIn(long long ms)
{
    m_dueUs = Common::GetTimeUs() + ms * 1000;
}

void DfuWatch::DueNow()
{
    m_dueUs = Common::GetTimeUs();
}

WaitTime::Outcome DfuWatch::PollWhenDue(long long limitMs, int sliceMs,
                                        const std::function<WaitTime::Step()>& tryWhenDue)
{
    return WaitTime::PollUntil(*this, limitMs, sliceMs,
                               [&] { return Due() ? tryWhenDue() : WaitTime::Step::AGAIN; });
}

bool Pause(long long ms, long long limitMs, std::function<bool()> cancelled)
{
    DfuWatch watch(std::move(cancelled));
    watch.DueIn(ms);
    return watch.PollWhenDue(limitMs, PAUSE_SLICE_MS, [] { return WaitTime::Step::DONE; }) !=
           WaitTime::Outcome::CANCELLED;
}

}  // namespace Dfu
