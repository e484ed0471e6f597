#include "analog/recordSource.h"

#include "analog/analogDevice.h"

double CAnalogDeviceSource::GetRate() { return m_device.GetRate(); }

int32_t CAnalogDeviceSource::GetRecordedChannelCount() { return m_device.GetEnabledChannelCount(); }

int32_t CAnalogDeviceSource::GetChannelDim() { return m_device.GetChannelDim(); }

wxString CAnalogDeviceSource::GetDeviceName() { return m_device.GetFileSafeName(); }

wxString CAnalogDeviceSource::GetExportExtension() { return m_device.GetExportExtension(); }

RecordHeaderInfo CAnalogDeviceSource::GetHeaderInfo()
{
    RecordHeaderInfo info;
    info.deviceKey = m_device.GetDeviceKey();
    // One name per recorded channel, in the order of the frames, all of one take.
    const int enabled = m_device.GetEnabledChannelCount();
    const VisibleChannelsPtr visible = m_device.GetVisibleChannels();
    for (int i = 0; i < enabled; ++i)
        info.channelNames.push_back(i < static_cast<int>(visible->names.size())
                                        ? visible->names[static_cast<size_t>(i)]
                                        : wxString());
    info.isTracker = m_device.IsTracker();
    info.deviceType = m_device.GetDeviceType();
    info.unitScale = m_device.GetUnitScale();
    info.minValue = m_device.GetMinValue();
    info.maxValue = m_device.GetMaxValue();
    return info;
}

RecordMarkers CAnalogDeviceSource::CopyMarkers()
{
    RecordMarkers markers;
    m_device.GetMarkers(markers.codes, markers.frames, markers.labels);
    return markers;
}

bool CAnalogDeviceSource::IsRunning() { return m_device.IsRunning(); }

void CAnalogDeviceSource::Stop() { m_device.Stop(); }

void CAnalogDeviceSource::Start() { m_device.Start(); }

void CAnalogDeviceSource::StopCapture() { m_device.StopCapture(); }

bool CAnalogDeviceSource::IsReady() { return m_device.IsReady(); }

bool CAnalogDeviceSource::IsFileDevice() { return m_device.IsFileDevice(); }

void CAnalogDeviceSource::SeekFrame(int64_t frame) { m_device.SeekFrame(frame); }

void CAnalogDeviceSource::SeekTime(double seconds) { m_device.SeekTime(seconds); }

int64_t CAnalogDeviceSource::GetTotalFrames() { return m_device.GetTotalFrames(); }

uint64_t BuildHeaderProperties(CAnalogDevice& device, HeaderPropertyBuffer& buffer)
{
    CAnalogDeviceSource source(device);
    return BuildHeaderProperties(source.GetHeaderInfo(), buffer);
}
