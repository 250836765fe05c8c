#pragma once

// A scripted TCP server on the loopback interface for what no real server does
// on demand: replies split into chunks, silence, resets, garbage. It listens on
// an ephemeral port at once; start() accepts one connection and plays the
// steps on its own thread. Every blocking call has a deadline, so a test that
// goes wrong fails instead of hanging.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedServer {
public:
    enum class Family { IPv4, IPv6 };

    explicit ScriptedServer(Family family = Family::IPv4);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return port_; }
    // "127.0.0.1:<port>" or "[::1]:<port>", ready for a target host.
    std::string address() const;

    ScriptedServer& send(std::string bytes); // one write of these bytes
    ScriptedServer& pause(int milliseconds);
    // Writes `pattern` again and again at full speed for this long, or until
    // the client goes away (endless data, bounded for the test).
    ScriptedServer& stream(std::string pattern, int milliseconds);
    ScriptedServer& expectLine(); // read through CR LF (10 s at most)
    ScriptedServer& expectBytes(size_t n); // read exactly n bytes (10 s at most)
    // Reads n bytes in small portions with a pause after each, so that a
    // client's sends fill the buffers and come back partial.
    ScriptedServer& readSlowly(size_t n, size_t portion, int pauseMilliseconds);
    ScriptedServer& close(); // orderly close (FIN)
    ScriptedServer& reset(); // abortive close (RST)
    ScriptedServer& holdOpen(int milliseconds); // keep the connection, read nothing

    // Shrinks the receive buffer of the connection to come (before start()).
    void setReceiveBuffer(int bytes);

    void start();
    std::string received() const;
    bool waitFinished(int milliseconds);
    // Why the script stopped early (empty while running or when it finished).
    std::string error() const;

private:
    enum class Kind { Send, Stream, Pause, ExpectLine, ExpectBytes, ReadSlowly, Close, Reset };
    struct Step {
        Kind kind;
        std::string bytes;
        size_t count = 0;
        size_t portion = 0;
        int milliseconds = 0;
    };

    void run();
    bool acceptClient();
    bool runStep(const Step& step);
    bool writeAll(const std::string& bytes);
    bool readInto(bool untilLineEnd, size_t wanted);
    bool sleepFor(int milliseconds);
    bool stopping() const { return stop_.load(); }
    void finish(bool finished, const std::string& why);
    void closeClient();

    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    Family family_;
    std::vector<Step> steps_;
    std::thread thread_;
    std::atomic<bool> stop_ { false };

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    std::string error_;
    bool done_ = false;
    bool finished_ = false;
};
