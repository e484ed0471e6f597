#pragma once
// The SATEL device with its protocol steps and state open to the tests.

#include "fakeSatelBoard.h"
#include "satel/satel_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

// Opens the protected protocol steps and state to the tests.
class CSatelProbe : public CSerialSatelDevice {
public:
    using CSerialSatelDevice::CalcOffsets;
    using CSerialSatelDevice::ConfigureBoard;
    using CSerialSatelDevice::CSerialSatelDevice;
    using CSerialSatelDevice::ParseSample;
    using CSerialSatelDevice::ReadFrames;

    void SetOffsetsDone(bool done) { m_offsetsDone = done; }
    void SetRaw(double a, double b, double c)
    {
        m_raw[0] = a;
        m_raw[1] = b;
        m_raw[2] = c;
    }
    void SetPrevious(double a, double b, double c)
    {
        m_previous[0] = a;
        m_previous[1] = b;
        m_previous[2] = c;
    }
    // Keeps the sequence of initialisation out of the direct protocol tests.
    void SetInitialising(bool pending) { m_initPending = pending; }
    double Value(int channel) const { return m_values[channel]; }
    // What the ticks would do with the samples read: each makes the row in turn.
    int ParseQueued()
    {
        int count = 0;
        ConfirmLone();  // what the line held, whatever follows it
        while (PopSample()) {
            ParseSample();
            ++count;
        }
        return count;
    }
    // The queued samples, oldest first, as they came off the line.
    std::vector<SatelSample> TakeQueued()
    {
        std::vector<SatelSample> samples;
        ConfirmLone();
        while (PopSample())
            samples.push_back({static_cast<int16_t>(m_raw[0]), static_cast<int16_t>(m_raw[1]),
                               static_cast<int16_t>(m_raw[2])});
        return samples;
    }
};

// A device on the pty's line, opened against a board that answers its probe and then
// goes: each test's own board plays the rest. No initialisation sequence runs.
inline std::unique_ptr<CSatelProbe> OpenProbe(CPtyPair& pty, int periodMs = 25)
{
    std::unique_ptr<CSatelProbe> device;
    {
        CFakeSatelBoard opener(pty);
        opener.Start();
        device = std::make_unique<CSatelProbe>(wxString(pty.SlaveName()), periodMs, false, 400.0,
                                               false);
        opener.Stop();
    }
    EXPECT_TRUE(device->IsReady());
    device->SetReplyTimeouts(std::chrono::seconds(5), std::chrono::seconds(5));  // a loaded machine
    device->SetInitialising(false);
    return device;
}
