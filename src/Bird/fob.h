#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Bird/fob_wire.h"
#include "serial/serialPort.h"

// How the flock is brought up. The defaults are what the hardware needs; a
// simulated flock on a pseudo-terminal (no modem lines) has no reset line and
// needs no settling time.
struct fob_setup {
    uint32_t resetMs = 4000;      // after the reset pulse
    uint32_t configureMs = 2000;  // around the auto-configuration command
    bool resetPulse = true;       // reset by raising, then lowering RTS
    // The shortest read time-out: a command delay of 0 must not make a read wait
    // for ever on a flock that does not answer.
    uint32_t minReadTimeoutMs = 100;
    // The longest one update waits for a whole streamed record: short, so that a
    // silent flock never holds the acquisition step.
    uint32_t streamWaitMs = 2;
};

// The Flock of Birds on one RS-232 line: a master unit and up to 14 sensors
// (birds) on the tracker's own bus. Resets and configures the flock, sets each
// bird's data mode and hemisphere, streams records and decodes them into each
// bird's values. Owned by the Flock of Birds device.
// Threads: open, start, set_mode, stream and close run in the GUI thread (device
// construction and close); update in the device's acquisition thread; the bird
// getters in any thread. Failures return false and leave a text in get_error().
class fob : public CSerialPort {
public:
    class bird;

    fob();
    ~fob() override;
    fob(const fob&) = delete;
    fob& operator=(const fob&) = delete;

    bool open(const char* name, uint32_t hemisphere, uint32_t baud, uint32_t delayMs);
    bool reset();
    bool start();
    bool stream();
    // Reads every whole record that has arrived (a bounded number of bytes per call)
    // and hands each to the bird of its address, so each bird holds its newest pose.
    // False when the line failed (line_vanished) or brought nothing for a few read
    // time-outs in a row ("fob::update: flock no longer responding").
    bool update();
    // Acquisition thread: after a failed update, whether the port itself went away.
    bool line_vanished() const { return m_lineVanished; }
    // Acquisition thread: opens the line again when it went away and begins to set the
    // flock up again: configured for its birds, each bird's mode given, the stream asked
    // for. Never waits: what is due later goes out from resume_step. True when the line
    // is open and the first command went out.
    bool resume_stream();
    // Acquisition thread, every step: sends the next part of a set-up begun by
    // resume_stream once its time came. False when a command could not go out (the
    // set-up ends; the next resume_stream begins it again).
    bool resume_step();
    bool is_resuming() const { return m_resume != resume_phase::idle; }
    void close();
    void close_if_running();
    bool set_mode(unsigned mode, float range, bool flip);
    double max_rate(unsigned mode) const;
    void flush();
    int recv(uint8_t* buffer, size_t n);

    bool send_cmd(uint8_t command);
    bool send_cmd(uint8_t command, const uint8_t* data, size_t n);
    bool select_bird(uint32_t address);
    bool select_bird(const bird* target);
    bool examine(uint8_t parameter, size_t n, uint8_t* buffer);
    bool change_value(uint8_t parameter, size_t n, const uint8_t* data);
    bool check_error();
    bool auto_configure(size_t n);
    bool check_address_mode();
    bool load_flock_status();
    bool set_hemisphere(bird* target, uint32_t index);

    // Any thread. The birds exist from start() on and stay until the flock goes.
    size_t bird_count() const { return m_birds.size(); }
    bird* get_bird(size_t index) const;
    const std::string& get_error() const { return m_error; }
    bool is_running() const { return m_running.load(); }
    bool is_streaming() const;
    uint32_t get_master() const { return m_master; }
    uint32_t get_delay_us() const { return m_delayUs; }
    bool is_verbose() const { return m_verbose; }
    // Any thread: streamed records dropped (bad address, too long) since the start.
    uint64_t get_dropped_records() const { return m_droppedRecords.load(); }
    // Any thread: streamed records handed to their birds since the start.
    uint64_t get_routed_records() const { return m_routedRecords.load(); }
    // Any thread: bytes read from the stream since the start.
    uint64_t get_stream_bytes() const { return m_streamBytes.load(); }
    void set_verbose(bool verbose) { m_verbose = verbose; }
    void set_setup(const fob_setup& setup) { m_setup = setup; }

    // Waits; nothing below 2 microseconds.
    static void pause_us(uint64_t us);
    static void pause_ms(uint64_t ms);

private:
    friend class bird;
    // Keeps the text's storage: the stream reader sets warnings without allocating.
    void set_error(const char* text) { m_error.assign(text); }
    void set_error(const std::string& text) { m_error.assign(text); }
    void drop_record(const char* warning);
    uint32_t read_timeout_ms() const;
    void pause_delay() const { pause_us(m_delayUs); }
    bird* find_bird(uint32_t address) const;
    // Hands the whole records at the head of the stream buffer to their birds and
    // keeps what is left (a record still arriving). Returns the spans that ended.
    size_t route_records();
    void route_record(const uint8_t* record, size_t length);
    // The record waiting for the span after it: taken when that has a record's shape.
    void settle_pending(bool isNextShaped);
    // The line went: the record waiting for its follower and the one arriving went with
    // it, each refused, so that every span is taken or refused.
    void drop_stream();
    // The commands that give every bird its mode and the flock its stream again; out
    // holds kSetupCommandBytes. Returns their count.
    size_t setup_commands(uint8_t* out) const;
    static constexpr size_t kSetupCommandBytes = 10 * fob_wire::kMaxBirds + 4;
    // A set-up resumed in the acquisition steps: what goes out next, and when.
    enum class resume_phase { idle, configure, wake, set_up };
    bool resume_send(const uint8_t* bytes, size_t n, resume_phase next, uint64_t waitUs);

    SerialSettings m_settings;
    uint32_t m_master = 1;
    std::atomic<bool> m_running{false};
    bool m_streaming = false;     // guarded by m_streamMutex
    uint32_t m_delayUs = 500000;  // before every command; also the read time-out
    // Acquisition thread: bytes read but not yet routed, from a record's first byte on.
    static constexpr size_t kStreamBuffer = 256;
    std::array<uint8_t, kStreamBuffer> m_stream{};
    size_t m_streamCount = 0;
    size_t m_junkRun = 0;  // bytes skipped since the last first byte of a record
    bool m_afterRecord = false;  // the last span had a record's shape: the next is aligned
    std::array<uint8_t, fob_wire::kMaxRecord> m_pending{};
    size_t m_pendingLength = 0;  // 0: no record waits
    std::chrono::steady_clock::time_point m_lastByte;
    bool m_lineVanished = false;
    resume_phase m_resume = resume_phase::idle;  // acquisition thread
    std::chrono::steady_clock::time_point m_resumeDue;
    std::string m_portName;
    int m_errorThreshold = 2;
    uint32_t m_hemisphere = 0;
    std::string m_error;
    std::atomic<uint64_t> m_droppedRecords{0};
    std::atomic<uint64_t> m_routedRecords{0};
    std::atomic<uint64_t> m_streamBytes{0};
    std::vector<std::unique_ptr<bird>> m_birds;  // in address order
    bool m_verbose = true;
    fob_setup m_setup;
    mutable std::mutex m_streamMutex;  // leaf lock: guards m_streaming
};

// One sensor of the flock: its address, flags from the flock status, data mode
// and the values of its last record. Owned by its flock. The values are written
// by update (acquisition thread) and read under the bird's own lock.
class fob::bird {
public:
    explicit bird(fob* owner);

    bool set_mode(unsigned mode);
    bool parse(const uint8_t* record, size_t length);
    void get_position(float out[3]) const;
    void get_quaternion(float out[4]) const;
    void get_angles(float out[3]) const;
    uint8_t get_buttons() const;
    unsigned get_mode() const;
    // Bytes of this bird's streamed records, buttons included, address excluded.
    size_t record_bytes() const;
    // Any thread: records of this bird decoded so far (a bird that stops shows here).
    uint64_t get_record_count() const { return m_records.load(std::memory_order_acquire); }

    // Range (full-scale position, inches) and flip (angles in the other axis
    // order) for the records to come.
    void set_scale(float range, bool flip);
    float get_range() const;

    uint32_t address = 0;
    bool flagA = false;  // bit 5 of its flock status byte: takes a hemisphere
    bool flagB = false;  // bit 0

private:
    fob* m_owner;                // non-owning: the flock owns its birds
    mutable std::mutex m_mutex;  // leaf lock: mode, scale and values
    unsigned m_mode = 0;
    bool m_flip = false;
    float m_range = 36.0f;
    fob_wire::bird_values m_values;
    std::atomic<uint64_t> m_records{0};
};
