// A private mosquitto broker for one test program: free loopback ports, a generated configuration
// with an anonymous listener, a listener that wants a user name and password, and a TLS listener
// whose certificate is signed by a CA the test makes itself. Started and stopped by the test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PeerProcess.h"

extern char** environ;

namespace testsupport {

// Finds an executable among the usual system directories (mosquitto lives in /usr/sbin, which
// is not on every PATH).
inline std::string findProgram(const std::string& name)
{
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin", "/sbin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    throw std::runtime_error("program not found: " + name);
}

// Starts a program with the given arguments (no shell), standard output and error to a file,
// standard input from a file.
inline pid_t spawnProgram(const std::vector<std::string>& args, const std::string& outputFile,
                          const std::vector<std::string>& extraEnv = {},
                          const std::string& inputFile = "/dev/null")
{
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    for (const auto& e : extraEnv) envStrings.push_back(e);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

// Runs a program to its end; returns its exit status (-1 when it did not exit normally).
inline int runProgram(const std::vector<std::string>& args, const std::string& outputFile)
{
    pid_t pid = spawnProgram(args, outputFile);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Distinct free TCP ports on 127.0.0.1, held open together so that none is handed out twice.
inline std::vector<int> freePorts(int count)
{
    std::vector<int> fds, ports;
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof(addr);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("no free port");
        fds.push_back(fd);
        ports.push_back(ntohs(addr.sin_port));
    }
    for (int fd : fds) ::close(fd);
    return ports;
}

inline bool portAccepts(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

// A CA and a server certificate for 127.0.0.1 made with OpenSSL, written as PEM files.
class TestCertificates
{
public:
    // ca.crt signed server.crt (key in server.key); other-ca.crt is an authority that did not.
    static void write(const std::string& dir)
    {
        EVP_PKEY* caKey = EVP_EC_gen("P-256");
        EVP_PKEY* otherKey = EVP_EC_gen("P-256");
        EVP_PKEY* serverKey = EVP_EC_gen("P-256");
        if (!caKey || !otherKey || !serverKey)
            throw std::runtime_error("key generation failed");
        X509* ca = makeCertificate(caKey, caKey, nullptr, "tapgate test CA", true);
        X509* other = makeCertificate(otherKey, otherKey, nullptr, "tapgate other CA", true);
        X509* server = makeCertificate(serverKey, caKey, ca, "127.0.0.1", false);
        writePem(dir + "/ca.crt", [&](FILE* f) { return PEM_write_X509(f, ca); });
        writePem(dir + "/other-ca.crt", [&](FILE* f) { return PEM_write_X509(f, other); });
        writePem(dir + "/server.crt", [&](FILE* f) { return PEM_write_X509(f, server); });
        writePem(dir + "/server.key", [&](FILE* f) {
            return PEM_write_PrivateKey(f, serverKey, nullptr, nullptr, 0, nullptr, nullptr);
        });
        X509_free(server);
        X509_free(other);
        X509_free(ca);
        EVP_PKEY_free(serverKey);
        EVP_PKEY_free(otherKey);
        EVP_PKEY_free(caKey);
    }

private:
    static X509* makeCertificate(EVP_PKEY* key, EVP_PKEY* signerKey, X509* issuer, const char* cn, bool isCa)
    {
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        static long serial = 1;
        ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 2);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
        auto add = [&](int nid, const char* value) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            if (!ext)
                throw std::runtime_error("bad certificate extension");
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        };
        if (isCa) {
            add(NID_basic_constraints, "critical,CA:TRUE");
            add(NID_key_usage, "critical,keyCertSign,cRLSign");
            add(NID_subject_key_identifier, "hash");
        } else {
            add(NID_basic_constraints, "CA:FALSE");
            add(NID_key_usage, "critical,digitalSignature,keyEncipherment");
            add(NID_ext_key_usage, "serverAuth");
            add(NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        }
        if (X509_sign(cert, signerKey, EVP_sha256()) <= 0)
            throw std::runtime_error("certificate signing failed");
        return cert;
    }

    template <typename Writer>
    static void writePem(const std::string& path, Writer writer)
    {
        FILE* f = fopen(path.c_str(), "w");
        if (!f || !writer(f))
            throw std::runtime_error("cannot write " + path);
        fclose(f);
    }
};

class MosquittoBroker
{
public:
    static constexpr const char* User = "reader";
    static constexpr const char* Password = "s3cret";

    MosquittoBroker()
    {
        std::string tmpl = tempDirectory() + "/tapgate-mosquitto-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot make a temporary directory");
        m_dir = tmpl;
        try {
            TestCertificates::write(m_dir);
            if (runProgram({findProgram("mosquitto_passwd"), "-b", "-c", m_dir + "/passwd", User, Password},
                           m_dir + "/passwd.log") != 0)
                throw std::runtime_error("mosquitto_passwd failed");
            // A free port is free only until someone binds it: another test program may take one
            // before mosquitto does, which then exits at start. Other ports, another start.
            for (int attempt = 1;; ++attempt) {
                std::vector<int> ports = freePorts(3);
                m_port = ports[0];
                m_authPort = ports[1];
                m_tlsPort = ports[2];
                writeConfig();
                try {
                    start();
                    break;
                } catch (const std::runtime_error&) {
                    kill();
                    if (attempt == 5)
                        throw;
                }
            }
        } catch (...) {
            removeDirectory();
            throw;
        }
    }

    ~MosquittoBroker()
    {
        stop();
        removeDirectory();
    }

    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    int port() const { return m_port; }
    int authPort() const { return m_authPort; }
    int tlsPort() const { return m_tlsPort; }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }
    std::string authUrl() const { return "tcp://127.0.0.1:" + std::to_string(m_authPort); }
    std::string tlsUrl() const { return "ssl://127.0.0.1:" + std::to_string(m_tlsPort); }
    std::string caFile() const { return m_dir + "/ca.crt"; }
    std::string otherCaFile() const { return m_dir + "/other-ca.crt"; }
    std::string dir() const { return m_dir; }
    // A file in the broker's directory, removed with it.
    std::string tempFile(const std::string& name)
    {
        m_extraFiles.push_back(m_dir + "/" + name);
        return m_extraFiles.back();
    }

    // A broker started again keeps its ports, and while it was down another program may have held
    // one for a moment (a probe for a free port binds and lets go): it tries again for a while.
    void start()
    {
        for (int attempt = 1;; ++attempt) {
            try {
                startOnce();
                m_started = true;
                return;
            } catch (const std::runtime_error&) {
                // Only a broker that exited at once (its port held) is started again.
                if (!m_started || m_pid > 0 || attempt == 40)
                    throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }

    // SIGTERM, the orderly end; kill() is the abrupt one.
    void stop() { end(SIGTERM); }
    void kill() { end(SIGKILL); }

private:
    void startOnce()
    {
        if (m_pid > 0)
            return;
        m_pid = spawnProgram({findProgram("mosquitto"), "-c", m_dir + "/mosquitto.conf"},
                             m_dir + "/mosquitto.log");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(portAccepts(m_port) && portAccepts(m_authPort) && portAccepts(m_tlsPort))) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                throw std::runtime_error("mosquitto exited at start, see " + m_dir + "/mosquitto.log");
            }
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("mosquitto did not open its ports");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    void removeDirectory()
    {
        if (std::getenv("TAPGATE_KEEP_BROKER_DIR"))  // for looking into a failure afterwards
            return;
        for (const char* file : {"mosquitto.conf", "passwd", "passwd.log", "ca.crt", "other-ca.crt",
                                 "server.crt", "server.key", "mosquitto.log"})
            unlink((m_dir + "/" + file).c_str());
        for (const auto& file : m_extraFiles) unlink(file.c_str());
        rmdir(m_dir.c_str());
    }

    void end(int sig)
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, sig);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }

    void writeConfig()
    {
        std::ofstream out(m_dir + "/mosquitto.conf");
        struct passwd* pw = getpwuid(getuid());
        out << "per_listener_settings true\n"
            << "persistence false\n"
            << "log_dest stderr\n"
            << "log_type all\n";
        if (pw)
            out << "user " << pw->pw_name << "\n";
        out << "\nlistener " << m_port << " 127.0.0.1\n"
            << "allow_anonymous true\n"
            << "\nlistener " << m_authPort << " 127.0.0.1\n"
            << "allow_anonymous false\n"
            << "password_file " << m_dir << "/passwd\n"
            << "\nlistener " << m_tlsPort << " 127.0.0.1\n"
            << "allow_anonymous true\n"
            << "cafile " << m_dir << "/ca.crt\n"
            << "certfile " << m_dir << "/server.crt\n"
            << "keyfile " << m_dir << "/server.key\n";
        if (!out)
            throw std::runtime_error("cannot write the broker configuration");
    }

    std::string m_dir;
    bool m_started = false;  // once: a start after it keeps the ports
    int m_port = 0;
    int m_authPort = 0;
    int m_tlsPort = 0;
    pid_t m_pid = -1;
    std::vector<std::string> m_extraFiles;
};

}  // namespace testsupport
