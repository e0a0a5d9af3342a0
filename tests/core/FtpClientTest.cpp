#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "PeerProcess.h"
#include "core/FtpClient.h"

namespace {

using testsupport::PeerProcess;
using testsupport::TempDir;

TEST(FtpClientMatch, WildcardTable)
{
    struct Case
    {
        const char* name;
        const char* pattern;
        bool matches;
    };
    const Case cases[] = {
        {"keys01.dat", "*.dat", true},
        {"keys01.da", "*.dat", false},
        {"a.dat", "?.dat", true},
        {"ab.dat", "?.dat", false},
        {"", "", true},
        {"x", "", false},
        {"", "*", true},
        {"abc", "*", true},
        {"abc", "a*", true},
        {"a", "a*", true},
        {"ba", "a*", false},
        {"x.dat.bak", "*.dat", false},
        {"a.dat.dat", "*.dat", true},
        {"KEYS.DAT", "*.dat", false},
        {"k", "?", true},
        {"", "?", false},
        {"abc", "a*c", true},
        {"ac", "a*c", true},
        {"key 1.dat", "key*.dat", true},
        {"a", "a?", false},
        {"abcbd", "a*b?", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FtpClient::match(c.name, c.pattern), c.matches) << c.name << " vs " << c.pattern;
}

TEST(FtpClientMatch, CombinePathJoinsWithOneSlash)
{
    EXPECT_EQ(FtpClient::combinePath("dir/", "/x"), "dir/x");
    EXPECT_EQ(FtpClient::combinePath("dir", "/a.dat"), "dir/a.dat");
    EXPECT_EQ(FtpClient::combinePath("dir", "a.dat"), "dir/a.dat");
    EXPECT_EQ(FtpClient::combinePath("", "x"), "x");
    EXPECT_EQ(FtpClient::combinePath("", "/x"), "x");
}

TEST(FtpClientMatch, ListingLinesGiveWholeNames)
{
    struct Case
    {
        const char* line;
        const char* name;
    };
    const Case cases[] = {
        {"-rw-r--r--   1 user     group        1234 Jan 01 12:00 keys01.dat\r", "keys01.dat"},
        {"-rw-r--r--   1 user     group        1234 Jan 01  2020 key store  02.dat\r", "key store  02.dat"},
        {"drwxr-xr-x   2 user     group        4096 Jan 01 12:00 old.dat\r", ""},
        {"lrwxrwxrwx   1 user     group          10 Jan 01 12:00 cur.dat -> keys01.dat", "cur.dat"},
        {"01-16-23  10:33AM                 1234 dos name.dat\r", "dos name.dat"},
        {"01-16-23  10:33AM       <DIR>          sub.dat\r", ""},
        {"total 12", "12"},
        {"nospace.dat", ""},
        {"", ""},
        {"some other form x.dat\r", "x.dat"},
        {"-rw-r--r-- 1 u g 5 Jan 01 12:00\r", "12:00"},  // too short for the Unix form: last word
    };
    for (const auto& c : cases) EXPECT_EQ(FtpClient::nameFromListing(c.line), c.name) << c.line;
}

// A pyftpdlib server on 127.0.0.1 with a port of its own choosing, plain or FTPS.
const char* kServerScript = R"(
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler, TLS_DTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer
root, cert, key, rate = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
auth = DummyAuthorizer()
auth.add_user("tapgate", "pa:ss word", root, perm="elr")
if cert != "-":
    class Handler(TLS_FTPHandler):
        pass
    Handler.certfile = cert
    Handler.keyfile = key
    Handler.tls_control_required = True
    Handler.tls_data_required = True
    # pyftpdlib drops a data connection that speaks before its command arrives; libcurl starts
    # the data channel's TLS handshake right after connecting, so let the handshake through.
    class DataHandler(TLS_DTPHandler):
        def readable(self):
            return getattr(self, "_ssl_accepting", False) or super().readable()
    Handler.dtp_handler = DataHandler
else:
    class Handler(FTPHandler):
        pass
    if rate > 0:
        class Slow(ThrottledDTPHandler):
            pass
        Slow.write_limit = rate
        Handler.dtp_handler = Slow
Handler.authorizer = auth
Handler.auth_failed_timeout = 0.1
server = FTPServer(("127.0.0.1", 0), Handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

class FtpServer
{
public:
    // cert and key empty: plain FTP. bytesPerSecond > 0 throttles downloads (plain only).
    FtpServer(const TempDir& work, const std::string& root, const std::string& cert, const std::string& key,
              int bytesPerSecond = 0)
    {
        const std::string script = work / "server.py";
        std::ofstream(script) << kServerScript;
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("pipe");
        PeerProcess::Options options;
        options.stdoutFd = out[1];
        m_process = std::make_unique<PeerProcess>(
            std::vector<std::string>{"/usr/bin/python3", script, root, cert.empty() ? "-" : cert,
                                     key.empty() ? "-" : key, std::to_string(bytesPerSecond)},
            options);
        ::close(out[1]);
        const std::string line = testsupport::readLine(out[0], 20000);
        ::close(out[0]);
        if (line.empty())
            throw std::runtime_error("the FTP server did not start");
        m_port = std::stoi(line);
    }

    std::string url(const std::string& scheme = "ftp") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(m_port) + "/";
    }
    void stop()
    {
        m_process->kill(SIGKILL);
        m_process->wait();
    }

private:
    std::unique_ptr<PeerProcess> m_process;
    int m_port = 0;
};

class FtpClientServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::mkdir((work / "root").c_str(), 0755);
        ::mkdir((work / "root/old.dat").c_str(), 0755);  // a directory that matches the pattern
        ::mkdir((work / "out").c_str(), 0755);
        files["keys01.dat"] = testsupport::pseudoRandomBytes(70000, 1);
        files["key store 02.dat"] = testsupport::pseudoRandomBytes(513, 2);
        files["empty.dat"] = {};
        files["readme.txt"] = {'h', 'i'};
        std::vector<uint8_t> all(256);
        for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
        files["all#bytes%20.dat"] = all;
        for (const auto& f : files) testsupport::writeFile(work / ("root/" + f.first), f.second);
    }

    void login(FtpClient& client) { client.setCredentials("tapgate", "pa:ss word"); }

    std::list<std::string> sortedDatNames() const
    {
        std::list<std::string> names;
        for (const auto& f : files)
            if (FtpClient::match(f.first, "*.dat"))
                names.push_back(f.first);
        names.sort();
        return names;
    }

    TempDir work;
    std::map<std::string, std::vector<uint8_t>> files;
};

TEST_F(FtpClientServer, ListsDatFilesAndDownloadsEachByteIdentical)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    std::list<std::string> names;
    client.list(server.url(), names, "*.dat");
    names.sort();
    EXPECT_EQ(names, sortedDatNames()) << "the directory old.dat is no file, blanks stay in names";

    for (const auto& name : names) {
        const std::string local = work / ("out/" + name);
        client.download(server.url(), "/some/dir/" + name, local);
        EXPECT_EQ(testsupport::readFile(local), files[name]) << name;
        EXPECT_FALSE(testsupport::fileExists(local + ".part")) << name;
    }
}

TEST_F(FtpClientServer, SizesAreReportedAndAListingAfterASizeQueryStillLists)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    EXPECT_EQ(client.getRemoteFilesize(server.url() + "keys01.dat"), 70000u);
    EXPECT_EQ(client.getRemoteFilesize(server.url() + "key%20store%2002.dat"), 513u);
    EXPECT_EQ(client.getRemoteFilesize(server.url() + "empty.dat"), 0u);
    EXPECT_EQ(client.getRemoteFilesize(server.url()), FtpClient::UnknownSize) << "a directory has no length";
    std::list<std::string> names;
    client.list(server.url(), names, "*.txt");
    EXPECT_EQ(names, std::list<std::string>{"readme.txt"});
    EXPECT_EQ(client.getRemoteFilesize(server.url() + "keys01.dat"), 70000u);
    names.clear();
    client.list(server.url(), names, "keys0?.dat");
    EXPECT_EQ(names, std::list<std::string>{"keys01.dat"});
}

TEST_F(FtpClientServer, EmptyLocalNameWritesTheRemoteBaseNameInTheWorkingDirectory)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir((work / "out").c_str()), 0);
    try {
        client.download(server.url(), "sub/keys01.dat", std::string());
    } catch (...) {
        ASSERT_EQ(::chdir(previous), 0);
        throw;
    }
    ASSERT_EQ(::chdir(previous), 0);
    EXPECT_EQ(testsupport::readFile(work / "out/keys01.dat"), files["keys01.dat"]);
}

TEST_F(FtpClientServer, ActiveAndPassiveModesBothTransfer)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    for (int mode : {static_cast<int>(FtpClient::Active), static_cast<int>(FtpClient::Passive), 7}) {
        EXPECT_EQ(client.setMode(mode), 0);
        std::ostringstream out;
        client.download(server.url() + "keys01.dat", "", out);
        EXPECT_EQ(out.str(), std::string(files["keys01.dat"].begin(), files["keys01.dat"].end())) << mode;
    }
}

TEST_F(FtpClientServer, FailuresLeaveNoFileUnderTheFinalName)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    const std::string local = work / "out/missing.dat";
    EXPECT_THROW(client.download(server.url(), "missing.dat", local), std::runtime_error);
    EXPECT_FALSE(testsupport::fileExists(local));
    EXPECT_FALSE(testsupport::fileExists(local + ".part"));

    // A file already there is replaced only by a complete download, never by a failed one.
    testsupport::writeFile(local, {'o', 'l', 'd'});
    EXPECT_THROW(client.download(server.url(), "missing.dat", local), std::runtime_error);
    EXPECT_EQ(testsupport::readFile(local), (std::vector<uint8_t>{'o', 'l', 'd'}));

    FtpClient stranger;
    stranger.setCredentials("tapgate", "wrong");
    EXPECT_THROW(stranger.download(server.url(), "keys01.dat", work / "out/keys01.dat"), std::runtime_error);
    EXPECT_FALSE(testsupport::fileExists(work / "out/keys01.dat"));

    try {
        client.download(server.url(), "keys01.dat", work / "no/such/dir/keys01.dat");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Could not open file " + work / "no/such/dir/keys01.dat");
    }
}

TEST_F(FtpClientServer, AWriteFailureIsAFailure)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    std::ofstream full("/dev/full", std::ios::binary);
    ASSERT_TRUE(full.is_open());
    EXPECT_THROW(client.download(server.url(), "keys01.dat", full), std::runtime_error);

    // A file that cannot grow past 4 kB stands in for a full disk.
    const std::string local = work / "out/keys01.dat";
    auto downloadIntoFullDisk = [&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        bool threw = false;
        try {
            client.download(server.url(), "keys01.dat", local);
        } catch (const std::runtime_error&) {
            threw = true;
        }
        const bool clean = !testsupport::fileExists(local) && !testsupport::fileExists(local + ".part");
        std::_Exit(threw && clean ? 0 : 1);
    };
    EXPECT_EXIT(downloadIntoFullDisk(), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(testsupport::fileExists(local));
}

TEST_F(FtpClientServer, ProgressReportsEveryChunkAndItsExceptionsReachTheCaller)
{
    FtpServer server(work, work / "root", "", "");
    FtpClient client;
    login(client);
    std::vector<std::pair<size_t, size_t>> calls;
    client.progress.push_back([&](size_t done, size_t total) { calls.emplace_back(done, total); });
    std::ostringstream out;
    client.download(server.url(), "keys01.dat", out);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(size_t{70000}, size_t{70000}));
    EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));

    // An empty callback throws std::bad_function_call; it must come out of download, not
    // unwind through libcurl, and the local file must not appear.
    client.progress.push_back(std::function<void(size_t, size_t)>());
    const std::string local = work / "out/keys01.dat";
    EXPECT_THROW(client.download(server.url(), "keys01.dat", local), std::bad_function_call);
    EXPECT_FALSE(testsupport::fileExists(local));
    EXPECT_FALSE(testsupport::fileExists(local + ".part"));
}

TEST_F(FtpClientServer, AServerStoppedMidDownloadLeavesNoFileUnderTheFinalName)
{
    files["big.dat"] = testsupport::pseudoRandomBytes(2 * 1024 * 1024, 3);
    testsupport::writeFile(work / "root/big.dat", files["big.dat"]);
    FtpServer server(work, work / "root", "", "", 256 * 1024);
    FtpClient client;
    login(client);
    bool stopped = false;
    client.progress.push_back([&](size_t done, size_t) {
        if (!stopped && done > 64 * 1024) {
            stopped = true;
            server.stop();
        }
    });
    const std::string local = work / "out/big.dat";
    EXPECT_THROW(client.download(server.url(), "big.dat", local), std::runtime_error);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(testsupport::fileExists(local));
    EXPECT_FALSE(testsupport::fileExists(local + ".part"));
}

class FtpsClientServer : public FtpClientServer
{
protected:
    void SetUp() override
    {
        FtpClientServer::SetUp();
        cert = work / "cert.pem";
        key = work / "key.pem";
        PeerProcess openssl(
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
             "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
            PeerProcess::Options());
        ASSERT_TRUE(openssl.exitedWithZero());
    }
    std::string cert;
    std::string key;
};

TEST_F(FtpsClientServer, ListsSizesAndDownloadsOverVerifiedTls)
{
    FtpServer server(work, work / "root", cert, key);
    FtpClient client;
    login(client);
    client.setTLS(true);
    client.setTLSVerifyPeer(true);
    client.setTLSVerifyHost(true);
    client.setTLSCACert(cert);
    std::list<std::string> names;
    client.list(server.url(), names, "*.dat");
    names.sort();
    EXPECT_EQ(names, sortedDatNames());
    EXPECT_EQ(client.getRemoteFilesize(server.url() + "keys01.dat"), 70000u);
    for (const auto& name : names) {
        const std::string local = work / ("out/" + name);
        client.download(server.url(), name, local);
        EXPECT_EQ(testsupport::readFile(local), files[name]) << name;
    }
}

TEST_F(FtpsClientServer, AnUntrustedCertificateOrPlainLoginIsRefused)
{
    FtpServer server(work, work / "root", cert, key);
    {
        FtpClient client;
        login(client);
        client.setTLS(true);
        client.setTLSVerifyPeer(true);
        client.setTLSCACert(work / "root/readme.txt");  // no certificate in it
        std::list<std::string> names;
        EXPECT_THROW(client.list(server.url(), names, "*"), std::runtime_error);
        EXPECT_TRUE(names.empty());
    }
    {
        FtpClient client;
        login(client);
        client.setTLS(false);
        std::list<std::string> names;
        EXPECT_THROW(client.list(server.url(), names, "*"), std::runtime_error);
    }
    {
        FtpClient client;
        login(client);
        client.setTLS(true);
        client.setTLSVerifyPeer(false);
        client.setTLSVerifyHost(false);
        std::list<std::string> names;
        client.list(server.url(), names, "*.dat");
        EXPECT_EQ(names.size(), sortedDatNames().size());
    }
}

}  // namespace
