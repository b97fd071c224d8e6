// The line's traffic as text, one frame a line:
// "<t, 6 decimals> <rx|tx> <encoded bytes in hex, without the delimiter>",
// t on the telemetry's clock. rx is what the mission sent, tx what went back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace kelvex::sim {

class LineLog {
public:
    // Throws std::system_error when the file cannot be created.
    explicit LineLog(const std::string& path);

    void received(double t, const uint8_t* frame, size_t n) { write(t, "rx", frame, n); }
    // Logs every frame in the written bytes (a glued write holds two).
    void sent(double t, const uint8_t* bytes, size_t n);
    // Hands what was logged to the file; the server calls it a few times a
    // second and at its end.
    void flush() { std::fflush(file_.get()); }

private:
    void write(double t, const char* dir, const uint8_t* frame, size_t n);

    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, FileCloser> file_;
    std::string line_;  // the line being written, its room kept
};

}  // namespace kelvex::sim
