#include "TransportTypeBase.h"

int TransportTypeBase::WaitForData(int ms)
{
    if (ms > 0) {
        Common::DelayUs(ms * 1000.0);
    }
    return 0;
}

void TransportTypeBase::UngetReceived(int count)
{
    (void)count;
}

std::string TransportTypeBase::ClearPipe(bool all)
{
    (void)all;
    return std::string();
}

bool TransportTypeBase::SetTimeout(unsigned long writeMs, unsigned long readMs)
{
    (void)writeMs;
    (void)readMs;
    return true;
}

int TransportTypeBase::OnAdataAvailable(std::string& out)
{
    (void)out;
    return 0;
}

void TransportTypeBase::ClearRecvBuff() {}

int TransportTypeBase::WriteDataByPipe(char* data, int length)
{
    (void)data;
    (void)length;
    return 0;
}

int TransportTypeBase::OpenFastbootUsb(const char* serial)
{
    (void)serial;
    return 0;
}

bool TransportTypeBase::IsDeviceGone() const
{
    return false;
}

void TransportTypeBase::ChangeSpeed(int baudRate)
{
    (void)baudRate;
}

bool TransportTypeBase::IsCancel()
{
    if (!m_isCancel.load() && !Common::Cancelled()) {
        return false;
    }
    Common::Print("\nUser Cancelled!\n", "", 0, "");
    m_isCancel.store(false);
    return true;
}

void TransportTypeBase::SetIsCancel(bool cancel)
{
    m_isCancel.store(cancel);
}

bool TransportTypeBase::CancelRaised() const
{
    return m_isCancel.load();
}

void TransportTypeBase::SetHandle(long long handle)
{
    m_handle = handle;
}

std::string TransportTypeBase::GetDeviceName() const
{
    return m_deviceName;
}

std::string TransportTypeBase::GetErrorStrInfo() const
{
    return m_errorStrInfo;
}

int TransportTypeBase::GetErrorCode() const
{
    return m_errorCode;
}
