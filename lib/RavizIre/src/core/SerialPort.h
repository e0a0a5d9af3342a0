// A Linux tty in raw mode: byte, block and line reads with a termios time-out, and writes. The port
// owns its descriptor and its one-byte look-ahead; it is used by one thread at a time (the thread
// that owns the reader or the file transfer) and has no lock. Nothing here throws or logs: failures
// come back as false or a short result, and errorStr() gives the text of the last failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SerialPort
{
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // baud: a supported speed, anything else gives 9600. readTimeoutMs: -1 blocks until a byte
    // arrives, 0 returns at once, otherwise tenths of a second in 1..255. dataBits 5/6/7, else 8;
    // stopBits 2, else 1; parity 1 even, 2 odd, else none.
    // On a port that is already open this only closes it and returns false.
    bool open(const std::string& device, int baud, int readTimeoutMs, int dataBits, int stopBits, int parity);
    // Rebuilds the working settings from zero and drops pending input.
    bool configure(int baud, int readTimeoutMs, int dataBits, int stopBits, int parity);
    // The descriptor is released even when close(2) reports an error; false then tells the caller.
    bool close();
    bool isOpen() const;

    // Writes every byte (retrying short writes); returns the count written, 0 when nothing went out.
    int writeBytes(const std::string& data);
    int writeBytes(const std::vector<uint8_t>& data);

    // One byte (0-255), or -1 on time-out or error.
    int read();
    // Up to n bytes: stops early when the read time-out passes. Empty on a read error.
    std::vector<uint8_t> readBytes(unsigned n);
    // Text up to CR or LF (not included); a CR LF or LF CR pair is consumed as one terminator.
    // A time-out returns what came so far.
    std::string getline();

    bool setBaudrate(unsigned baud);
    bool setReadTimeout(int ms);
    bool setLowLatency(bool on);
    // Drops pending input and output, the look-ahead byte included.
    bool flush();

    std::string errorStr() const;
    int lastError() const;
    int getUnderlying();

private:
    struct impl;
    std::unique_ptr<impl> d;
};
