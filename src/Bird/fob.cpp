#include "Bird/fob.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>

using namespace fob_wire;

namespace {

constexpr int kSendAttempts = 5;
// Read time-outs of silence after which the flock counts as gone.
constexpr int kReadFailures = 3;
constexpr size_t kMaxCommandData = 8;
// Room for the record, its address, the next record's first byte and junk that a
// broken stream brings before it is cut off.
constexpr size_t kRecordBuffer = 2 * kMaxRecord;
// Bytes one update reads at most, skipped ones included: many records (a flock of
// 14 birds for well over a period), yet a bounded step.
constexpr size_t kMaxBytesPerUpdate = 64 * kMaxRecord;

void print_out(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void print_err(const std::string& text)
{
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

std::string bits_of(uint8_t byte)
{
    std::string bits;
    for (int i = 7; i >= 0; --i) bits += ((byte >> i) & 1) != 0 ? '1' : '0';
    return bits;
}

}  // namespace

// ---------------------------------------------------------------- fob

fob::fob()
{
    m_error.reserve(128);  // longer than any message
    m_settings.baud = 19200;
    m_settings.parity = 0;
    m_settings.dataBits = 8;
    m_settings.stopBits = 1;
    m_settings.rtsControl = 0;
    m_settings.xonXoff = 0;
}

fob::~fob()
{
    if (m_running.load()) close();
    Close();
}

void fob::pause_us(uint64_t us)
{
    if (us < 2) return;
    timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    timespec left{};
    while (nanosleep(&wait, &left) != 0 && errno == EINTR) wait = left;
}

void fob::pause_ms(uint64_t ms) { pause_us(ms * 1000); }

uint32_t fob::read_timeout_ms() const
{
    const uint32_t ms = m_delayUs / 1000;
    const uint32_t least = m_setup.minReadTimeoutMs > 0 ? m_setup.minReadTimeoutMs : 1;
    return ms < least ? least : ms;
}

bool fob::is_streaming() const
{
    std::lock_guard<std::mutex> lock(m_streamMutex);
    return m_streaming;
}

fob::bird* fob::get_bird(size_t index) const
{
    return index < m_birds.size() ? m_birds[index].get() : nullptr;
}

fob::bird* fob::find_bird(uint32_t address) const
{
    for (const auto& each : m_birds) {
        if (each->address == address) return each.get();
    }
    return nullptr;
}

bool fob::open(const char* name, uint32_t hemisphere, uint32_t baud, uint32_t delayMs)
{
    if (name == nullptr || m_running.load()) return false;
    m_hemisphere = hemisphere;
    m_settings.baud = baud;
    m_delayUs = delayMs > UINT32_MAX / 1000 ? UINT32_MAX : delayMs * 1000;
    m_portName = name;
    if (m_verbose) print_out(std::string("<FOB> Opening serial line ") + name + "\n");
    if (const int code = Open(name, &m_settings); code != 1) {
        // A port that opened but refused its settings is of no use: release it.
        Close();
        set_error(OpenFailureText(code, name));
        return false;
    }
    flush();
    if (m_verbose) print_out("<FOB> Reseting Flock of Bird device\n");
    if (reset()) return true;
    // Released, so that the next attempt can open the line again.
    Close();
    return false;
}

bool fob::reset()
{
    if (!IsOpen()) return false;
    if (m_setup.resetPulse && (!SetRts() || !ClearRts())) {
        set_error("fob::reset: could not pulse the reset line");
        return false;
    }
    pause_ms(m_setup.resetMs);
    flush();
    return send_cmd(kCmdPointReset);
}

void fob::flush()
{
    if (IsOpen()) FlushReceiver();
}

int fob::recv(uint8_t* buffer, size_t n)
{
    if (!IsOpen() || buffer == nullptr || n < 1) return 0;
    const uint32_t count = n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
    return ReadBytes(buffer, count, read_timeout_ms());
}

bool fob::send_cmd(uint8_t command)
{
    pause_delay();
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (IsOpen() && WriteChar(command) == 1) return true;
        pause_delay();
    }
    set_error("fob::send_cmd: could not send command");
    return false;
}

bool fob::send_cmd(uint8_t command, const uint8_t* data, size_t n)
{
    pause_delay();
    uint8_t bytes[1 + kMaxCommandData];
    if (n > kMaxCommandData || (n > 0 && data == nullptr) || !IsOpen()) {
        set_error("fob::send_cmd: could not send command !");
        return false;
    }
    bytes[0] = command;
    for (size_t i = 0; i < n; ++i) bytes[1 + i] = data[i];
    if (WriteBytes(bytes, n + 1) != 1) {
        set_error("fob::send_cmd: could not send command !");
        return false;
    }
    return true;
}

void fob::drop_record(const char* warning)
{
    set_error(warning);
    m_droppedRecords.fetch_add(1);
}

bool fob::select_bird(uint32_t address)
{
    pause_delay();
    if (address < 1 || address > kMaxBirds || !IsOpen() ||
        WriteChar(static_cast<uint8_t>(kSelectBirdBase + address)) != 1) {
        set_error("fob::select_bird: could not send select bird");
        return false;
    }
    return true;
}

bool fob::select_bird(const bird* target)
{
    return target != nullptr && select_bird(target->address);
}

bool fob::examine(uint8_t parameter, size_t n, uint8_t* buffer)
{
    pause_delay();
    const uint8_t command[2] = {kCmdExamine, parameter};
    if (!IsOpen() || WriteBytes(command, 2) != 1) {
        set_error("fob::examine: could not send examine command");
        return false;
    }
    pause_delay();
    if (buffer == nullptr || n < 1) {
        set_error("fob::examine: could not recv examine reply");
        return false;
    }
    const int got = recv(buffer, n);
    if (got < 0) {
        set_error("fob::examine: could not recv examine reply");
        return false;
    }
    if (got == 0) {
        // Nothing at all came back: no unit on that line (or one switched off).
        set_error("no bird answered on " + DevicePathFor(m_portName.c_str()));
        return false;
    }
    if (static_cast<size_t>(got) < n) {
        set_error("fob::examine: not enough data in examine reply ");
        return false;
    }
    return true;
}

bool fob::change_value(uint8_t parameter, size_t n, const uint8_t* data)
{
    uint8_t bytes[2 + kMaxCommandData];
    if (n > kMaxCommandData || (n > 0 && data == nullptr) || !IsOpen()) {
        set_error("fob::change_value: could not send change value command");
        return false;
    }
    bytes[0] = kCmdChange;
    bytes[1] = parameter;
    for (size_t i = 0; i < n; ++i) bytes[2 + i] = data[i];
    if (WriteBytes(bytes, n + 2) != 1) {
        set_error("fob::change_value: could not send change value command");
        return false;
    }
    return true;
}

// True when the flock reports an error at or above the threshold (or cannot say).
bool fob::check_error()
{
    uint8_t code = 0;
    if (!examine(kParamErrorCode, 1, &code)) return true;
    if (code == 0) return false;
    const char* message = nullptr;
    int level = 0;
    if (!error_entry(code, &message, &level)) {
        set_error("fob::check_error: fob is returning corrupt data, please reset the flock");
        return true;
    }
    if (level < m_errorThreshold) {
        print_err("fob: ignoring error: " + std::to_string(code) + ": " + message + "\n");
        return false;
    }
    set_error(message);
    return true;
}

bool fob::auto_configure(size_t n)
{
    if (n == 0) {
        set_error("fob::auto_configure: no birds detected");
        return false;
    }
    if (n > kMaxBirds) {
        set_error("fob::auto_configure: too many birds");
        return false;
    }
    if (m_verbose) print_out("Selecting master bird\n");
    if (!select_bird(m_master)) return false;
    pause_ms(m_setup.configureMs);
    const uint8_t count = static_cast<uint8_t>(n);
    if (!change_value(kParamAutoConfig, 1, &count)) return false;
    pause_ms(m_setup.configureMs);
    flush();
    if (check_error()) return false;
    if (m_verbose) print_out("Wake up master bird\n");
    if (!send_cmd(kCmdWakeUp)) return false;
    flush();
    return !check_error();
}

bool fob::check_address_mode()
{
    uint8_t mode = 0;
    if (!examine(kParamAddressMode, 1, &mode)) return false;
    if (mode != 0) {
        set_error("fob::check_address_mode: flock must be set in normal addressing mode");
        return false;
    }
    flush();
    return !check_error();
}

bool fob::load_flock_status()
{
    uint8_t status[kMaxBirds] = {};
    if (!examine(kParamFlockStatus, kMaxBirds, status)) return false;
    flush();
    if (check_error()) return false;
    // A second start finds the same birds again: the list is rebuilt, not appended to.
    m_birds.clear();
    for (uint32_t i = 0; i < kMaxBirds; ++i) {
        if (m_verbose)
            print_out("flock status: " + std::to_string(i) + ": " + bits_of(status[i]) + "\n");
        if ((status[i] & 0x80) == 0) continue;
        auto found = std::make_unique<bird>(this);
        found->address = i + 1;
        found->flagB = (status[i] & 0x01) != 0;
        found->flagA = (status[i] & 0x20) != 0;
        m_birds.push_back(std::move(found));
    }
    constexpr uint32_t kNoMaster = 666;
    m_master = kNoMaster;
    if (m_birds.empty()) {
        set_error("fob::load_flock_status: master bird could not be found");
        return false;
    }
    for (const auto& each : m_birds) {
        uint8_t birdStatus[2] = {};
        if (!select_bird(each.get())) return false;
        if (!examine(kParamBirdStatus, 2, birdStatus)) return false;
        flush();
        if (check_error()) return false;
        if ((birdStatus[1] & 0x80) != 0 && each->address < m_master) m_master = each->address;
    }
    if (m_master == kNoMaster) {
        set_error("fob::load_flock_status: master bird could not be found");
        return false;
    }
    return true;
}

bool fob::set_hemisphere(bird* target, uint32_t index)
{
    if (target == nullptr) return false;
    if (!select_bird(target)) return false;
    uint8_t bytes[2] = {0, 0};
    if (!hemisphere_bytes(index, bytes)) {
        set_error("fob::set_hemisphere: unknown hemisphere");
        return false;
    }
    if (!send_cmd(kCmdHemisphere, bytes, 2)) return false;
    flush();
    return !check_error();
}

bool fob::start()
{
    if (m_verbose) print_out("Starting Flock of Birds.\n");
    if (!IsOpen()) return m_running.load();
    if (m_verbose) print_out("Start Configuration 1\n");
    if (!auto_configure(1)) return false;
    flush();
    if (!check_address_mode()) return false;
    flush();
    if (m_verbose) print_out("Load Bird Status\n");
    if (!load_flock_status()) return false;
    flush();
    if (m_verbose) print_out("Start Configuration " + std::to_string(m_birds.size()) + "\n");
    if (!auto_configure(m_birds.size())) return false;
    if (m_verbose) print_out("Set Bird Configuration \n");
    for (const auto& each : m_birds) {
        if (!each->flagA) continue;
        flush();
        if (!set_hemisphere(each.get(), m_hemisphere)) return false;
    }
    if (m_verbose) print_out("Flock of Bird is now ready to run \n");
    m_running.store(true);
    return true;
}

bool fob::stream()
{
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        if (m_streaming) return true;
    }
    const uint8_t on = 1;
    if (!change_value(kParamGroupMode, 1, &on)) return false;
    if (!send_cmd(kCmdStream)) return false;
    m_streamCount = 0;
    m_junkRun = 0;
    m_afterRecord = true;  // the stream begins with a record
    m_pendingLength = 0;
    m_lastByte = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_streamMutex);
    m_streaming = true;
    return true;
}

void fob::settle_pending(bool isNextShaped)
{
    if (m_pendingLength == 0) return;
    const size_t length = m_pendingLength;
    m_pendingLength = 0;
    if (!isNextShaped) {
        drop_record("fob::update: warning: record not aligned");
        return;
    }
    find_bird(m_pending[length - 1])->parse(m_pending.data(), length - 1);
    m_routedRecords.fetch_add(1);
}

// A first byte may be noise, and so may the bytes after it up to the next first byte,
// or those that end a span begun by a record's true first byte: a span can have a
// record's length and a bird's address and yet hold values nobody sent. The flock
// streams its records back to back, so a record is taken only between two spans of a
// record's shape; the spans next to a disturbance are refused with it.
void fob::route_record(const uint8_t* record, size_t length)
{
    const uint32_t address = length >= 3 ? record[length - 1] : 0;
    bird* target = address >= 1 ? find_bird(address) : nullptr;
    const bird* shape = target != nullptr ? target : get_bird(0);
    const bool isShaped = address >= 1 && address <= kMaxBirds && shape != nullptr &&
                          shape->record_bytes() == length - 1;
    settle_pending(isShaped);
    const bool isAligned = m_afterRecord;
    m_afterRecord = isShaped;
    if (target == nullptr) {
        drop_record("fob::update: warning: bad bird address");
    } else if (!isShaped) {
        drop_record("fob::update: warning: record of the wrong length");
    } else if (!isAligned) {
        drop_record("fob::update: warning: record not aligned");
    } else {
        std::copy(record, record + length, m_pending.begin());  // taken once the next is whole
        m_pendingLength = length;
    }
}

// A record runs from its first byte (phasing bit set) to the byte before the next
// first byte; its last byte is the bird's address, appended by the flock's group
// mode. A record is whole only once the next first byte came: a stray byte inside it
// makes it one byte too long, and its last data byte may well equal an address, so
// that its length alone says nothing.
size_t fob::route_records()
{
    size_t routed = 0;
    size_t at = 0;
    while (at < m_streamCount) {
        if ((m_stream[at] & kPhasingBit) == 0) {
            // Bytes of a record whose start we did not see; a long run of them is one
            // refusal, counted once.
            if (++m_junkRun == kRecordBuffer) drop_record("fob::update: warning: record too long");
            settle_pending(false);
            m_afterRecord = false;
            ++at;
            continue;
        }
        m_junkRun = 0;
        size_t end = at + 1;
        bool whole = false;
        bool tooLong = false;
        while (end < m_streamCount) {
            if ((m_stream[end] & kPhasingBit) != 0) {
                whole = true;
                break;
            }
            ++end;
            if (end - at >= kRecordBuffer) {
                tooLong = true;
                break;
            }
        }
        if (tooLong) {
            // No record is this long: drop it; what follows up to the next first byte
            // belongs to it and is skipped without counting again.
            drop_record("fob::update: warning: record too long");
            m_junkRun = kRecordBuffer;
            settle_pending(false);
            m_afterRecord = false;
            at = end;
            continue;
        }
        if (!whole) break;  // the rest is still on its way
        route_record(&m_stream[at], end - at);
        ++routed;
        at = end;
    }
    if (at > 0) {
        std::memmove(m_stream.data(), m_stream.data() + at, m_streamCount - at);
        m_streamCount -= at;
    }
    return routed;
}

bool fob::update()
{
    if (!is_streaming()) return true;
    m_lineVanished = false;
    if (!IsOpen()) {
        m_lineVanished = true;
        set_error("fob::update: serial line lost");
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_lastByte == std::chrono::steady_clock::time_point()) m_lastByte = now;
    const auto waitEnd = now + std::chrono::milliseconds(m_setup.streamWaitMs);
    size_t bytesRead = 0;
    size_t routed = 0;
    while (bytesRead < kMaxBytesPerUpdate) {
        uint32_t waitMs = 0;
        if (routed == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  waitEnd - std::chrono::steady_clock::now())
                                  .count();
            waitMs = left > 0 ? static_cast<uint32_t>(left) : 0;
        }
        const size_t room = std::min(kStreamBuffer - m_streamCount, kMaxBytesPerUpdate - bytesRead);
        const int got = ReadAvailable(m_stream.data() + m_streamCount,
                                      static_cast<uint32_t>(room), waitMs);
        if (got < 0) {
            m_lineVanished = true;
            drop_stream();
            set_error("fob::update: serial line lost");
            return false;
        }
        if (got == 0) {
            if (routed > 0 || waitMs == 0) break;
            continue;  // woken without a byte: wait out the rest
        }
        m_lastByte = std::chrono::steady_clock::now();
        m_streamCount += static_cast<size_t>(got);
        bytesRead += static_cast<size_t>(got);
        m_streamBytes.fetch_add(static_cast<uint64_t>(got));
        routed += route_records();
    }
    const auto silentFor = std::chrono::steady_clock::now() - m_lastByte;
    if (bytesRead == 0 && silentFor > std::chrono::milliseconds(static_cast<uint64_t>(
                                          read_timeout_ms()) * kReadFailures)) {
        set_error("fob::update: flock no longer responding");
        return false;
    }
    return true;
}

void fob::drop_stream()
{
    settle_pending(false);
    if (m_streamCount > 0) drop_record("fob::update: warning: record cut off by the line's loss");
    m_streamCount = 0;
    m_junkRun = 0;
    m_afterRecord = true;  // a stream asked for anew begins with a record
}

size_t fob::setup_commands(uint8_t* out) const
{
    size_t n = 0;
    uint8_t hemisphere[2] = {0, 0};
    const bool hasHemisphere = hemisphere_bytes(m_hemisphere, hemisphere);
    for (const auto& each : m_birds) {
        const uint8_t select = static_cast<uint8_t>(kSelectBirdBase + each->address);
        const unsigned mode = each->get_mode();
        if (const uint8_t command = data_mode_command(mode); command != 0) {
            out[n++] = select;
            out[n++] = command;
        }
        out[n++] = select;
        out[n++] = kCmdButtonMode;
        out[n++] = (mode & kModeButtons) != 0 ? 1 : 0;
        if (each->flagA && hasHemisphere) {
            out[n++] = select;
            out[n++] = kCmdHemisphere;
            out[n++] = hemisphere[0];
            out[n++] = hemisphere[1];
        }
    }
    out[n++] = kCmdChange;
    out[n++] = kParamGroupMode;
    out[n++] = 1;
    out[n++] = kCmdStream;
    return n;
}

bool fob::resume_stream()
{
    if (!IsOpen() || m_lineVanished) {
        Close();
        SetReportErrors(false);  // tried every few seconds while away: said once by the device
        const bool opened = !m_portName.empty() && Open(m_portName.c_str(), &m_settings) == 1;
        SetReportErrors(true);
        if (!opened) {
            Close();
            return false;
        }
        // What the old line left is settled already; the new one starts clean.
        drop_stream();
        flush();
    }
    // A line still open keeps what it brings: a flock that answers late, or in a way we
    // do not take, may be streaming right now.
    m_lineVanished = false;
    m_lastByte = std::chrono::steady_clock::now();
    m_resume = resume_phase::idle;
    // A flock switched off meanwhile streams its master alone until it is configured for
    // its birds again, which it needs time for before and after: the master is selected
    // now, the rest follows in later steps. Without a master known, the set-up alone.
    if (m_master < 1 || m_master > kMaxBirds || m_birds.empty() || m_birds.size() > kMaxBirds)
        return resume_send(nullptr, 0, resume_phase::set_up, 0);
    const uint8_t select = static_cast<uint8_t>(kSelectBirdBase + m_master);
    return resume_send(&select, 1, resume_phase::configure, m_setup.configureMs * 1000ull);
}

bool fob::resume_send(const uint8_t* bytes, size_t n, resume_phase next, uint64_t waitUs)
{
    if (n > 0 && WriteBytes(bytes, n) != 1) {
        m_resume = resume_phase::idle;
        return false;
    }
    m_resume = next;
    m_resumeDue = std::chrono::steady_clock::now() + std::chrono::microseconds(waitUs);
    return next == resume_phase::idle || resume_step();
}

bool fob::resume_step()
{
    if (m_resume == resume_phase::idle) return true;
    if (!IsOpen() || m_lineVanished) {
        m_resume = resume_phase::idle;
        return false;
    }
    if (std::chrono::steady_clock::now() < m_resumeDue) return true;
    switch (m_resume) {
        case resume_phase::configure: {
            const uint8_t command[3] = {kCmdChange, kParamAutoConfig,
                                        static_cast<uint8_t>(m_birds.size())};
            return resume_send(command, 3, resume_phase::wake, m_setup.configureMs * 1000ull);
        }
        case resume_phase::wake: {
            // The pace of the start-up's commands, without its checks: a reply read here
            // would hold the step.
            const uint8_t wake = kCmdWakeUp;
            return resume_send(&wake, 1, resume_phase::set_up, m_delayUs);
        }
        default: {
            // The birds' data modes, buttons, hemispheres and the group mode, lost to a
            // power cycle, then the stream: each a command the flock takes at once.
            std::array<uint8_t, kSetupCommandBytes> commands{};
            const size_t n = setup_commands(commands.data());
            return resume_send(commands.data(), n, resume_phase::idle, 0);
        }
    }
}

void fob::close()
{
    // A line that went away takes no command: each tried with its delays would hold the
    // closing for seconds.
    if (IsOpen() && !m_lineVanished) {
        flush();
        if (!m_birds.empty()) select_bird(m_birds.front().get());
        flush();
        send_cmd(kCmdPoint);
        flush();
        send_cmd(kCmdSleep);
        pause_delay();
    }
    if (IsOpen()) {
        ClearRts();
        Close();
    }
    m_running.store(false);
    m_resume = resume_phase::idle;
    // A flock opened again must be told to stream again.
    std::lock_guard<std::mutex> lock(m_streamMutex);
    m_streaming = false;
}

void fob::close_if_running()
{
    if (m_running.load()) close();
}

bool fob::set_mode(unsigned mode, float range, bool flip)
{
    print_out("number of birds: " + std::to_string(m_birds.size()) + "\n");
    for (const auto& each : m_birds) {
        each->set_scale(range, flip);
        if (!each->set_mode(mode)) {
            print_err("FOB Error " + m_error + "\n");
            return false;
        }
    }
    return true;
}

double fob::max_rate(unsigned mode) const
{
    if (!m_running.load()) return 0.0;
    return line_rate(mode, m_settings.baud, m_birds.size());
}

// ---------------------------------------------------------------- fob::bird

fob::bird::bird(fob* owner) : m_owner(owner) {}

void fob::bird::set_scale(float range, bool flip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_range = range;
    m_flip = flip;
}

float fob::bird::get_range() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_range;
}

bool fob::bird::set_mode(unsigned mode)
{
    if ((mode & ~kModeButtons) == 0 && (mode & kModeButtons) != 0) {
        m_owner->set_error("fob::bird::set_mode: must specify data mode with buttons");
        return false;
    }
    if (!m_owner->select_bird(address)) return false;
    const uint8_t command = data_mode_command(mode);
    if (command != 0 && !m_owner->send_cmd(command)) return false;
    if (!m_owner->select_bird(address)) return false;
    const uint8_t buttons = (mode & kModeButtons) != 0 ? 1 : 0;
    if (!m_owner->send_cmd(kCmdButtonMode, &buttons, 1)) return false;
    m_owner->flush();
    if (m_owner->check_error()) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
    return true;
}

unsigned fob::bird::get_mode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mode;
}

size_t fob::bird::record_bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t data = record_length(m_mode);
    return data == 0 ? 0 : data + ((m_mode & kModeButtons) != 0 ? 1 : 0);
}

bool fob::bird::parse(const uint8_t* record, size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    decode_record(m_mode, m_flip, m_range, record, length, m_values);
    m_records.fetch_add(1, std::memory_order_release);
    return true;
}

void fob::bird::get_position(float out[3]) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < 3; ++i) out[i] = m_values.position[i];
}

void fob::bird::get_quaternion(float out[4]) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < 4; ++i) out[i] = m_values.quaternion[i];
}

void fob::bird::get_angles(float out[3]) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < 3; ++i) out[i] = m_values.angles[i];
}

uint8_t fob::bird::get_buttons() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.buttons;
}
