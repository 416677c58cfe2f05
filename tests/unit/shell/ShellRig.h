#pragma once

#include "integration/db/CatalogueHarness.h"
#include "unit/hublink/FakeLinkSocket.h"
#include "unit/hublink/HubPackets.h"

#include "forms/CommDisplayForm.h"
#include "forms/FrmTCPHub.h"
#include "hub/CommDisplay.h"
#include "hub/CommShared.h"
#include "hub/HubDriver.h"
#include "shell/FrmTCPHubWindow.h"
#include "shell/ShellSettings.h"

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace smtpin::test {

// One client's shell on a real catalogue, with the hub link on a fake
// socket and every timer driven by hand.
class ShellTest : public CatalogueTest {
protected:
    void SetUp() override { c = openClient("S01"); }

    void build()
    {
        link = std::make_unique<hub::CommDisplay>(clock, c->log, linkForm, c->form.lbTCPProgress, socket);
        link->setTimersEnabled(false);
        shell = std::make_unique<shell::ShellSettings>(clock, c->reg, c->config, settings, form, mainBanner);
        window = std::make_unique<shell::FrmTCPHubWindow>(*shell, form, *link, c->reg, c->dialogs);
        QObject::connect(&window->ring(), &hub::HubMessageRing::hubMessage,
                         [this](const std::string& t) { delivered.push_back(t); });
        window->setTimersEnabled(false);
    }
    void start()
    {
        build();
        window->Form_Load();
    }
    // A later start of the program: a fresh process claims its row again.
    void restart()
    {
        window->Unload();
        window.reset();
        shell.reset();
        link.reset();
        c.reset();
        c = openClient("S01");
        start();
    }

    void registry(const std::string& lines)
    {
        std::ofstream out(settings.fileName(), std::ios::app);
        out << "\n[SMTP_S01/TCPSetup]\n" << lines << "\n";
    }
    std::string configValue(const std::string& name)
    {
        return value("SELECT Value FROM HXSClientConfig WHERE Parameter = '" + name + "'").toString().toStdString();
    }
    void setConfig(const std::string& name, const std::string& v)
    {
        exec("INSERT INTO HXSClientConfig (Device, Parameter, Value) VALUES ('S01', '" + name + "', '" + v + "')");
    }

    hub::HubDriver& driver() { return window->driver(); }
    std::string caption() const { return form.window.caption(); }

    // The driver runs four ticks to each engine tick, as their timers do.
    void run(int driverTicks)
    {
        for (int i = 0; i < driverTicks; ++i) {
            clock.advanceSeconds(0.5);
            driver().DriveHubConnection();
            if (++ticks_ % 4 == 0)
                link->Engine_Timer();
        }
    }
    void engineTick()
    {
        clock.advanceSeconds(2);
        link->Engine_Timer();
    }
    // Until the driver waits for the engine, then through the engine's
    // login with the hub answering.
    void login()
    {
        window->mnuComms_Click(0);
        for (int i = 0; i < 20 && driver().state() != 8; ++i)
            driver().DriveHubConnection();
        ASSERT_EQ(driver().state(), 8);
        engineTick();            // open
        socket.raiseConnect();
        engineTick();            // TCP connected
        engineTick();            // request sent
        socket.deliver(acceptPacket());
        engineTick();            // connected
        ASSERT_TRUE(link->Connected());
        driver().DriveHubConnection();
        driver().DriveHubConnection();
    }
    std::string acceptPacket() { return hubAcceptPacket(); }
    static std::string packetOf(const std::string& mtype, const std::string& message, const std::string& target)
    {
        return hubPacket(mtype, message, target);
    }
    int sentWithCode(const std::string& code)
    {
        int n = 0;
        for (const std::string& p : socket.sent) {
            hub::CommType r;
            if (hub::ExtractCommPacket(p, r) && r.Mtype == code)
                ++n;
        }
        return n;
    }

    std::unique_ptr<CatalogueClient> c;
    FakeLinkSocket socket;
    forms::CommDisplayForm linkForm;
    forms::FrmTCPHub form;
    Label mainBanner;
    std::unique_ptr<hub::CommDisplay> link;
    std::unique_ptr<shell::ShellSettings> shell;
    std::unique_ptr<shell::FrmTCPHubWindow> window;
    std::vector<std::string> delivered;

private:
    int ticks_ = 0;
};

}  // namespace smtpin::test
