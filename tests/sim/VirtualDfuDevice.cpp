#include "VirtualDfuDevice.h"

#include <algorithm>

namespace Sim {

namespace {

constexpr uint16_t STATUS_LENGTH = 6;
constexpr uint16_t NO_TRANSFER_LIMIT = 0xFFFF;

bool Has(uint8_t attributes, uint8_t bit)
{
    return (attributes & bit) != 0;
}

}  // namespace

DfuFaults StallAtBlock(int block)
{
    DfuFaults faults;
    faults.stallAtBlock = block;
    return faults;
}

DfuFaults ErrorAtBlock(int block)
{
    DfuFaults faults;
    faults.errorAtBlock = block;
    return faults;
}

DfuFaults LeavesAtBlock(int block)
{
    DfuFaults faults;
    faults.leavesAtBlock = block;
    return faults;
}

DfuFaults LeavesDuringManifest()
{
    DfuFaults faults;
    faults.leavesDuringManifest = true;
    return faults;
}

DfuFaults StallsManifestStatus()
{
    DfuFaults faults;
    faults.stallsManifestStatus = true;
    return faults;
}

DfuFaults ManifestEndsIn(DfuState state, uint8_t status)
{
    DfuFaults faults;
    faults.manifestEndsIn = static_cast<int>(state);
    faults.manifestEndStatus = status;
    return faults;
}

VirtualDfuDevice::VirtualDfuDevice(DfuDescription description, DfuFaults faults, size_t flashSize)
    : m_description(std::move(description)), m_faults(faults), m_dfuMode(!m_description.runtimeMode),
      m_state(m_dfuMode ? faults.startState : DfuState::APP_IDLE), m_flash(flashSize, 0xFF)
{
    if (m_state == DfuState::ERROR) {
        m_status = DfuStatusCode::ERR_NOTDONE;
    }
    m_busyLeft = m_faults.busyPolls;  // found right after a block another host sent
}

void VirtualDfuDevice::SetClock(std::function<uint64_t()> clock)
{
    m_clock = std::move(clock);
}

uint64_t VirtualDfuDevice::Now() const
{
    return m_clock ? m_clock() : 0;
}

DfuDescription VirtualDfuDevice::Description() const
{
    DfuDescription current = m_description;
    current.runtimeMode = !m_dfuMode;
    if (!m_dfuMode) {
        current.productId = m_description.runtimeProductId;
    }
    if (m_faults.transferSize != 0) {
        current.transferSize = m_faults.transferSize;
    }
    if (m_faults.controlBytesInStrings) {
        current.serial += TERMINAL_CONTROL_TEXT;
        current.interfaceName += TERMINAL_CONTROL_TEXT;
    }
    return current;
}

uint16_t VirtualDfuDevice::EffectiveTransferSize() const
{
    uint16_t size = Description().transferSize;
    return size == 0 ? NO_TRANSFER_LIMIT : size;
}

void VirtualDfuDevice::Preload(size_t offset, const std::vector<uint8_t>& data)
{
    size_t end = std::min(m_flash.size(), offset + data.size());
    if (offset < end) {
        std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end - offset),
                  m_flash.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    m_uploadLength = std::max(m_uploadLength, end);
}

void VirtualDfuDevice::SetUploadLength(size_t length)
{
    m_uploadLength = std::min(length, m_flash.size());
}

std::vector<DfuRequestRecord> VirtualDfuDevice::RequestsOf(uint8_t request) const
{
    std::vector<DfuRequestRecord> found;
    std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(found),
                 [request](const DfuRequestRecord& record) { return record.request == request; });
    return found;
}

std::vector<uint16_t> VirtualDfuDevice::DnloadFields(uint16_t DfuRequestRecord::*field) const
{
    std::vector<uint16_t> values;
    for (const DfuRequestRecord& record : RequestsOf(DfuRequest::DNLOAD)) {
        values.push_back(record.*field);
    }
    return values;
}

int VirtualDfuDevice::Record(uint8_t request, uint16_t value, uint16_t length, const uint8_t* data, int result)
{
    DfuRequestRecord record;
    record.request = request;
    record.value = value;
    record.length = length;
    if (data != nullptr && length > 0) {
        record.data.assign(data, data + length);
    }
    record.result = result;
    record.timeUs = Now();
    m_requests.push_back(std::move(record));
    return result;
}

// A request to another interface, or one without its data, stalls like any the state does not take.
bool VirtualDfuDevice::ForThisInterface(uint16_t index, const void* data, uint16_t length) const
{
    return index == m_description.interfaceNumber && (length == 0 || data != nullptr);
}

int VirtualDfuDevice::ControlOut(uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                                 uint16_t length)
{
    int result = GONE;
    if (m_present) {
        result = ForThisInterface(index, data, length) && !Early() ? Out(request, value, data, length) : Stall();
    }
    return Record(request, value, length, data, result);
}

int VirtualDfuDevice::ControlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length)
{
    int result = GONE;
    if (m_present) {
        result = ForThisInterface(index, data, length) && !Early() ? In(request, value, data, length) : Stall();
    }
    return Record(request, value, length, nullptr, result);
}

// A request while the device is still at work, before the time its last status answer gave.
bool VirtualDfuDevice::Early()
{
    bool waiting = m_state == DfuState::DNBUSY || m_state == DfuState::MANIFEST;
    uint64_t dueUs = m_lastStatusAtUs + static_cast<uint64_t>(m_pollTimeout) * 1000;
    if (!waiting || !m_clock || Now() + EARLY_TOLERANCE_US >= dueUs) {
        return false;
    }
    ++m_earlyPolls;
    return true;
}

// A request the state does not take: the pipe stalls and the device goes to dfuERROR.
int VirtualDfuDevice::Stall()
{
    if (m_dfuMode) {
        Fail(DfuStatusCode::ERR_STALLEDPKT);
    }
    return STALL;
}

void VirtualDfuDevice::Fail(uint8_t status)
{
    m_state = DfuState::ERROR;
    m_status = status;
    m_download.clear();
}

int VirtualDfuDevice::Out(uint8_t request, uint16_t value, const uint8_t* data, uint16_t length)
{
    if (!m_dfuMode) {
        if (request != DfuRequest::DETACH || m_state != DfuState::APP_IDLE) {
            return Stall();
        }
        m_state = DfuState::APP_DETACH;
        if (Has(m_description.attributes, DfuAttribute::WILL_DETACH)) {
            UsbReset();  // it re-enumerates by itself
        }
        return 0;
    }
    switch (request) {
        case DfuRequest::DNLOAD:
            return Dnload(value, data, length);
        case DfuRequest::CLRSTATUS:
            if (m_state != DfuState::ERROR) {
                return Stall();
            }
            if (!m_faults.stuckInError) {
                m_state = DfuState::IDLE;
                m_status = DfuStatusCode::OK;
            }
            return 0;
        case DfuRequest::ABORT:
            switch (m_state) {
                case DfuState::IDLE:
                case DfuState::DNLOAD_SYNC:
                case DfuState::DNLOAD_IDLE:
                case DfuState::MANIFEST_SYNC:
                case DfuState::UPLOAD_IDLE:
                    m_state = DfuState::IDLE;
                    m_download.clear();
                    return 0;
                default:
                    return Stall();
            }
        default:
            return Stall();
    }
}

int VirtualDfuDevice::Dnload(uint16_t value, const uint8_t* data, uint16_t length)
{
    bool firstBlock = m_state == DfuState::IDLE;
    if ((!firstBlock && m_state != DfuState::DNLOAD_IDLE) || !Has(m_description.attributes, DfuAttribute::CAN_DNLOAD)) {
        return Stall();
    }
    if (length == 0) {
        if (firstBlock) {
            return Stall();  // nothing to manifest
        }
        m_state = DfuState::MANIFEST_SYNC;
        m_manifestLeft = m_faults.manifestPolls;
        if (m_faults.leavesDuringManifest) {
            // Off to start the new firmware at once: what it took counts as manifested.
            if (m_handler != nullptr) {
                (void)m_handler->OnManifest();
            }
            m_manifested = m_download;
            ++m_manifests;
            m_present = false;
        }
        return 0;
    }
    bool inOrder = firstBlock || value == static_cast<uint16_t>(m_lastBlock + 1);
    if (m_faults.stallAtBlock == value || length > EffectiveTransferSize() || !inOrder) {
        return Stall();
    }
    if (firstBlock) {
        m_download.clear();
    }
    size_t offset = m_download.size();
    m_download.insert(m_download.end(), data, data + length);
    m_blockError = m_faults.errorAtBlock == value ? m_faults.errorStatus : DfuStatusCode::OK;
    if (m_handler != nullptr) {
        uint8_t status = m_handler->OnBlock(value, data, length);
        m_blockError = m_blockError != DfuStatusCode::OK ? m_blockError : status;
        m_present = !m_handler->LeavesBus();
    } else if (offset + length > m_flash.size()) {
        m_blockError = DfuStatusCode::ERR_ADDRESS;
    } else {
        std::copy(data, data + length, m_flash.begin() + static_cast<std::ptrdiff_t>(offset));
        m_uploadLength = std::max(m_uploadLength, offset + length);
    }
    m_lastBlock = value;
    m_busyLeft = m_faults.busyPolls;
    m_state = DfuState::DNLOAD_SYNC;
    if (m_faults.leavesAtBlock == value) {
        m_present = false;  // e.g. a watchdog reset while it programs the block
    }
    return length;
}

int VirtualDfuDevice::In(uint8_t request, uint16_t value, uint8_t* data, uint16_t length)
{
    switch (request) {
        case DfuRequest::GETSTATUS:
            return GetStatus(data, length);
        case DfuRequest::GETSTATE:
            if (length < 1) {
                return Stall();
            }
            data[0] = static_cast<uint8_t>(m_state);
            return 1;
        case DfuRequest::UPLOAD: {
            if (!m_dfuMode || !Has(m_description.attributes, DfuAttribute::CAN_UPLOAD) ||
                length > EffectiveTransferSize()) {
                return Stall();
            }
            bool firstBlock = m_state == DfuState::IDLE;
            bool inOrder = firstBlock || value == static_cast<uint16_t>(m_lastBlock + 1);
            if ((!firstBlock && m_state != DfuState::UPLOAD_IDLE) || !inOrder) {
                return Stall();
            }
            if (firstBlock) {
                m_uploadOffset = 0;
            }
            m_lastBlock = value;
            return Upload(data, length);
        }
        default:
            return Stall();
    }
}

int VirtualDfuDevice::Upload(uint8_t* data, uint16_t length)
{
    size_t count = std::min<size_t>(length, m_uploadLength - m_uploadOffset);
    std::copy(m_flash.begin() + static_cast<std::ptrdiff_t>(m_uploadOffset),
              m_flash.begin() + static_cast<std::ptrdiff_t>(m_uploadOffset + count), data);
    m_uploadOffset += count;
    // A short block ends the upload.
    m_state = count < length ? DfuState::IDLE : DfuState::UPLOAD_IDLE;
    return static_cast<int>(count);
}

int VirtualDfuDevice::GetStatus(uint8_t* data, uint16_t length)
{
    if (length < STATUS_LENGTH || (m_state == DfuState::MANIFEST_SYNC && m_faults.stallsManifestStatus)) {
        return Stall();
    }
    AdvanceOnStatus();
    m_lastStatusAtUs = Now();
    bool busy = m_state == DfuState::DNBUSY || m_state == DfuState::MANIFEST;
    m_pollTimeout = busy ? m_faults.pollTimeoutMs : 0;
    data[0] = m_status;
    data[1] = static_cast<uint8_t>(m_pollTimeout);
    data[2] = static_cast<uint8_t>(m_pollTimeout >> 8);
    data[3] = static_cast<uint8_t>(m_pollTimeout >> 16);
    data[4] = static_cast<uint8_t>(m_state);
    data[5] = 0;
    return STATUS_LENGTH;
}

void VirtualDfuDevice::AdvanceOnStatus()
{
    switch (m_state) {
        case DfuState::DNLOAD_SYNC:
            if (m_blockError != DfuStatusCode::OK) {
                Fail(m_blockError);
                return;
            }
            AdvanceBusy();
            return;
        case DfuState::DNBUSY:
            AdvanceBusy();
            return;
        case DfuState::MANIFEST_SYNC:
        case DfuState::MANIFEST:
            AdvanceManifest();
            return;
        default:
            return;
    }
}

void VirtualDfuDevice::AdvanceBusy()
{
    if (m_faults.staysBusy || m_busyLeft > 0) {
        m_state = DfuState::DNBUSY;
        m_busyLeft = m_busyLeft > 0 ? m_busyLeft - 1 : 0;
        return;
    }
    m_state = DfuState::DNLOAD_IDLE;
}

void VirtualDfuDevice::AdvanceManifest()
{
    if (m_manifestLeft > 0) {
        m_state = DfuState::MANIFEST;
        --m_manifestLeft;
        return;
    }
    uint8_t status = m_handler != nullptr ? m_handler->OnManifest() : DfuStatusCode::OK;
    if (status != DfuStatusCode::OK) {
        Fail(status);
        return;
    }
    m_state = Has(m_description.attributes, DfuAttribute::MANIFESTATION_TOLERANT) ? DfuState::IDLE
                                                                                   : DfuState::MANIFEST_WAIT_RESET;
    if (m_faults.manifestEndsIn >= 0) {
        m_state = static_cast<DfuState>(m_faults.manifestEndsIn);
        m_status = m_faults.manifestEndStatus;
    }
    // Only a device back to idle or to its application has taken the download.
    if (m_state == DfuState::IDLE || m_state == DfuState::APP_IDLE || m_state == DfuState::MANIFEST_WAIT_RESET) {
        m_manifested = m_download;
        ++m_manifests;
    }
    m_download.clear();
}

void VirtualDfuDevice::UsbReset()
{
    if (!m_present) {
        return;
    }
    if (!m_dfuMode) {
        if (m_state == DfuState::APP_DETACH) {
            m_dfuMode = true;
            m_state = DfuState::IDLE;
            m_status = DfuStatusCode::OK;
            ++m_enumerations;
        }
        return;
    }
    // A DFU-mode device restarts its DFU state machine on a reset; a manifest left waiting ends here.
    if (m_state == DfuState::MANIFEST_WAIT_RESET) {
        ++m_enumerations;
    }
    m_state = DfuState::IDLE;
    m_status = DfuStatusCode::OK;
    m_download.clear();
}

}  // namespace Sim
