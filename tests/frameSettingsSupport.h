#pragma once

// A main frame in a fresh home folder, with its configuration file at hand.

#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/stdpaths.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "frameTestSupport.h"
#include "network/oscServer.h"
#include "network/oscTrigger.h"
#include "network/vrpnServerModule.h"
#include "osc_pkt/udp.h"
#include "process/trackerWorker.h"

class FrameSettingsTest : public FrameTest {
protected:
    void TearDown() override
    {
        FrameTest::TearDown();
        // Process-wide services must not outlive the test that started them.
        CloseOscServer();
        OscServerClearClients();
        StopOscTrigger();
        StopVrpnServer();
        CTrackerWorker::SetUseCore(false);
        TrackerFrame::SetRestartNotice(nullptr);
    }

    static std::string ConfigDir()
    {
        return (wxStandardPaths::Get().GetDocumentsDir() + "/Quorvane").ToStdString();
    }
    static std::string ConfigPath() { return ConfigDir() + "/Quorvane.cfg"; }

    static void WriteConfig(const std::string& text)
    {
        wxFileName::Mkdir(ConfigDir(), 0777, wxPATH_MKDIR_FULL);
        std::ofstream(ConfigPath()) << text;
    }

    static std::string ConfigText()
    {
        std::ifstream in(ConfigPath());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The file as it stands, read without the frame.
    static std::unique_ptr<wxFileConfig> ReadBack()
    {
        return std::make_unique<wxFileConfig>("Quorvane", "Morvelle", ConfigPath(), wxEmptyString,
                                              wxCONFIG_USE_LOCAL_FILE);
    }

    // A UDP port nobody listens on: bound, read back, released.
    static int FreePort()
    {
        UdpEndpoint probe;
        EXPECT_TRUE(probe.BindTo(0));
        return probe.LocalAddress().Port();
    }
};
