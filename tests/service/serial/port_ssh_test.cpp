// A serial port's automatic SSH connection against a scripted host: no prompt
// and no question, the gateway's key only, no login script; the bytes pass
// unchanged both ways and a BREAK on the line becomes an SSH break request.
#include <fstream>

#include "platform/ssh/fake_ssh.h"
#include "service/session/ssh_session.h"
#include "tests/service/serial/port_session_fixture.h"
#include "tests/support/wait_until.h"

namespace varolan::test {
namespace {

using namespace varolan::serial;
using namespace varolan::layout;

TEST_F(PortSessionTest, AutoOpenSshUsesTheGatewayKeyPassesBytesAndSendsBreaks) {
    ssh::FakeSshHost ssh_host;
    service::configure_ssh(true, dir_.str("registry.db").c_str());
    std::ofstream(service::ssh_known_hosts_file())
        << "[127.0.0.1]:" << host_.port() << " " << ssh_host.key_type << " " << ssh_host.fingerprint
        << "\n";
    ssh_host.accepted_key = service::ssh_identity_file();
    line_->raise_modem(MS_CTS_ON);
    set_dword(VALUE_AUTO_OPEN, 1);
    set_string(VALUE_AUTO_OPEN_COMPUTER_NAME,
               "ssh://alice@127.0.0.1:" + std::to_string(host_.port()));
    set_multi(VALUE_LOGIN_SCRIPT, {"user"});
    set_dword(VALUE_LOGIN_SCRIPT_DELAY, 0);
    start();

    ASSERT_TRUE(ssh_host.wait_for([&] { return !ssh_host.terminal_type.empty(); }));
    ssh_host.shell_write(std::string("\xff\xfd\x01 login ok\r\n", 14));
    ASSERT_TRUE(line_->wait_for_output("login ok\r\n")) << line_->output();
    EXPECT_NE(line_->output().find(std::string("\xff\xfd\x01 login ok", 12)), std::string::npos)
        << "no telnet filtering";
    line_->push_input("x\xff");
    ASSERT_TRUE(wait_until([&] { return ssh_host.shell_input().size() >= 2; }));
    line_->inject_break();
    ASSERT_TRUE(ssh_host.wait_for([&] { return ssh_host.breaks == 1; }));
    EXPECT_EQ(ssh_host.shell_input(), "x\xff") << "no doubled 255, no login script";
    EXPECT_EQ(line_->output().find("Telnet >"), std::string::npos);
    {
        auto l = ssh_host.lock();
        EXPECT_EQ(ssh_host.terminal_type, "vt100");
        EXPECT_EQ(ssh_host.attempts,
                  (std::vector<std::string>{
                      "none alice", std::string("publickey ") + service::ssh_identity_file()}));
    }
    // The shell ends: the port is hung up and reopened for the next user.
    ssh_host.end_shell();
    EXPECT_TRUE(line_->wait_for_log(LineEvent::opened, 2));
    stop();
    service::configure_ssh(false, "");
}

}  // namespace
}  // namespace varolan::test
