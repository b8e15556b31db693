#include "VirtualDfuPort.h"

#include "ChipDriverFactory.h"
#include "Common.h"

namespace Sim {

namespace {

VirtualDfuDevice* g_madeFor = nullptr;

// Starts off a whole millisecond, as a real clock does.
constexpr long long CLOCK_START_US = 1000000 + 370;
long long g_nowUs = CLOCK_START_US;
long long g_readCostUs = 0;

long long ReadVirtualClock()
{
    long long now = g_nowUs;
    g_nowUs += g_readCostUs;
    return now;
}

void DelayVirtualClock(double microseconds)
{
    g_nowUs += static_cast<long long>(microseconds);
}

std::unique_ptr<Dfu::DfuPortBase> MakePort()
{
    return std::make_unique<VirtualDfuPort>(*g_madeFor);
}

}  // namespace

VirtualDfuClock::VirtualDfuClock(VirtualDfuDevice& device, long long readCostUs)
{
    g_nowUs = CLOCK_START_US;
    g_readCostUs = readCostUs;
    Common::Clock clock;
    clock.nowUs = ReadVirtualClock;
    clock.delayUs = DelayVirtualClock;
    Common::OverrideClock(clock);
    device.SetClock([] { return static_cast<uint64_t>(g_nowUs); });
}

VirtualDfuClock::~VirtualDfuClock()
{
    Common::OverrideClock(Common::Clock());
}

VirtualDfuPortMaker::VirtualDfuPortMaker(VirtualDfuDevice& device)
{
    g_madeFor = &device;
    ChipDriverFactory::Makers makers;
    makers.newDfuPort = MakePort;
    ChipDriverFactory::OverrideMakers(makers);
}

VirtualDfuPortMaker::~VirtualDfuPortMaker()
{
    ChipDriverFactory::OverrideMakers({});
    g_madeFor = nullptr;
}

VirtualDfuPort::VirtualDfuPort(VirtualDfuDevice& device) : m_device(device) {}

int VirtualDfuPort::Answer(int result)
{
    if (m_afterRequest && !m_device.Requests().empty()) {
        m_afterRequest(m_device.Requests().back());
    }
    if (result == VirtualDfuDevice::GONE) {
        return Dfu::PORT_NO_DEVICE;
    }
    return result == VirtualDfuDevice::STALL ? PIPE_ERROR : result;
}

int VirtualDfuPort::RequestOut(unsigned char request, unsigned short value, const unsigned char* data,
                               unsigned short length, int timeoutMs)
{
    (void)timeoutMs;
    if (!m_open) {
        return Dfu::PORT_NO_DEVICE;
    }
    return Answer(m_device.ControlOut(request, value, m_info.interfaceNumber, data, length));
}

int VirtualDfuPort::RequestIn(unsigned char request, unsigned short value, unsigned char* data, unsigned short length,
                              int timeoutMs)
{
    (void)timeoutMs;
    if (!m_open) {
        return Dfu::PORT_NO_DEVICE;
    }
    return Answer(m_device.ControlIn(request, value, m_info.interfaceNumber, data, length));
}

int VirtualDfuPort::ResetDevice()
{
    if (!m_open) {
        return Dfu::PORT_NO_DEVICE;
    }
    if (!m_device.Present()) {
        return Dfu::PORT_NOT_FOUND;
    }
    m_device.UsbReset();
    return 0;
}

void VirtualDfuPort::TakeDescription()
{
    DfuDescription description = m_device.Description();
    m_info = Dfu::DfuDeviceInfo();
    m_info.vendorId = description.vendorId;
    m_info.productId = description.productId;
    m_info.serial = description.serial;
    m_info.name = description.interfaceName;
    m_info.configurationValue = description.configurationValue;
    m_info.interfaceNumber = description.interfaceNumber;
    m_info.alternateSetting = description.alternateSetting;
    m_info.dfuMode = !description.runtimeMode;
    m_info.bcdDfu = description.bcdDfu;
    m_info.transferSize = description.transferSize;
    m_info.detachTimeout = description.detachTimeout;
    m_info.attributes = description.attributes;
}

bool VirtualDfuPort::Open(int vid, int pid, const char* serial, const std::function<bool()>& cancelled)
{
    (void)cancelled;
    m_open = false;
    if (!m_device.Present()) {
        return false;
    }
    if (!m_device.InDfuMode()) {
        (void)m_device.ControlOut(DfuRequest::DETACH, 1000, m_device.Description().interfaceNumber, nullptr, 0);
        m_device.UsbReset();
    }
    TakeDescription();
    bool idsMatch = (vid < 0 || vid == m_info.vendorId) && (pid < 0 || pid == m_info.productId);
    bool serialMatches = serial == nullptr || serial[0] == '\0' || m_info.serial == serial;
    m_open = m_device.InDfuMode() && idsMatch && serialMatches;
    m_opens += m_open ? 1 : 0;
    return m_open;
}

}  // namespace Sim
