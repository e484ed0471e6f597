#pragma once
// A SATEL board written from what is known of its line alone, in the ways a board may
// fill what that leaves open: what its two length bytes count, how it ends a sample
// reply, how long its acknowledgements are; and the faults of a real line.

#include "../serial/ptyPair.h"
#include "fakeSatelBoard.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Commands are 8 bytes ('#' 'I' 00 03 command argument 00 '*'). 'P', 'C' and 'R' are
// acknowledged; 'B' is answered with every sample gathered since the last answered
// 'B': a 5-byte header ('#' 'I', two length bytes, 'B'), 6 bytes per sample (three
// big-endian int16), then the ending. Sample j, gathered from the first 'R' on at the
// board's rate, is RampSample(j) but in a still spell (it holds the last one before) and
// where a '*'-high sample (out of range: the spike filter drops it) opens a reply.
class CDescribedSatelBoard {
public:
    // What the two length bytes count: nothing (0); the bytes from the kind to before
    // the closing '*', as in the commands; the same and the '*'; the sample bytes only.
    enum class Length { Zero, Own, Star, Samples };
    // What the line does to a reply (one kind per reply at most).
    enum class Fault {
        None,
        DoubledByte,  // a byte of the samples or the ending sent twice
        DroppedByte,  // one of them lost
        AddedByte,    // a byte more among them
        NoiseBefore,  // a burst before the reply
        NoiseInside,  // a burst inside the samples (boards that give a length)
        NoiseAfter,   // a burst right behind the reply
        FakeHeader,   // a burst holding '#' 'I', a random length and 'B'
        Repeat,       // an undamaged reply of 1-3 requests back sent again after this one
        Dribble,      // the reply a byte at a time, 1-4 ms apart
        Stall,        // the reply stops midway longer than the device waits, then goes on
        Reset,        // from this request on silent until configured, then another way
        StallDamage,  // (drawn apart) a byte doubled, dropped or changed, or a burst; a stall
        Count
    };
    // Drawn from a seed: how often a reply meets a fault, which kinds, and whether the
    // whole line is slower than the board's data (bytes a second; 0: a fast line).
    struct Plan {
        double faultShare = 0.0;
        std::vector<Fault> kinds;
        int lineBytesPerSecond = 0;
        uint32_t seed = 0;
        int stallMs = 0;  // three times what the device waits for a byte
        // The samples measured: how often a sample reply starts a still spell, and how
        // often one opens with a '*'-high sample.
        double stillShare = 0.0;
        double starHighShare = 0.0;
        // Once, at its busyAt-th sample request (0: the offsets' one; -1: never), the
        // board is busy for busyMs: it reads nothing meanwhile, then answers every
        // request that came, in order, the first with all it gathered.
        int busyAt = -1;
        int busyMs = 0;
        // The board's clock against the device's: its rate this many times the rate
        // asked for, its first sample this many periods after its first 'R'.
        double rateFactor = 1.0;
        double phase = 0.0;
        // From its busy request on the platform is empty: every sample holds the last
        // one sent before; the backlog reply meets a fault inside if the plan has one.
        bool stillFromBusy = false;
        // Right behind its first reply after a reset, the board goes again at once, or
        // hears nothing for quietMs (its way kept; the device sets it up again) and then
        // puts a burst inside its next reply where it gives a length.
        bool resetBehindFirst = false;
        int quietBehindFirstMs = 0;
        // A busy board that comes back only once set up again (a 'P' came, within three
        // seconds more), its backlog then spread over this long (ms; 0: at once), or at
        // this pace (bytes a second) where given, meeting that fault.
        int backlogMs = 0;
        int backlogBytesPerSecond = 0;
        Fault backlogFault = Fault::None;
        // How often a sample reply holds one sample, at any place in it, with a '*' in a
        // drawn byte of it next to any other byte (out of range: the spike filter drops
        // it); and how often a long stretch of junk, any byte values, comes where a reply
        // is awaited, before it.
        double starPlaceShare = 0.0;
        double junkShare = 0.0;
        // Once its backlog went, the board answers the next set-up's period this late
        // (ms; 0: at once), reading nothing meanwhile.
        int lateSetUpMs = 0;
        // The adapter that goes with half a reply goes this long after (ms).
        int goneAfterMs = 0;
        // A header in noise gives a length the board's way can mean, a few samples more
        // than the reply behind it holds, and little noise follows it (a board that gives
        // no length could not tell such a header from its own empty reply).
        bool fakeLikeReply = false;
        // Before its backlog one goes, the backlog held behind it this long (ms; 0: none).
        int fakeBeforeBacklogMs = 0;
        // The reply the adapter goes with comes behind such a header.
        bool fakeBeforeGone = false;
        // The second reply after a reset loses a byte where the first did.
        bool dropSecond = false;
        // A lone-ending reply damaged inside comes in two pieces, the second late.
        bool restLate = false;
        // The first reply with samples after a set-up (the device learns the board's way
        // anew) is damaged and stalled, the stall a few bytes past the damage.
        bool stallAfterSetUp = false;
        // The first reply with samples after a set-up made while running (its way not
        // shown again yet) stalls, a byte of its closing block doubled or changed.
        bool blockHitAfterSetUp = false;
        // A busy board back only once set up again hears none of the set-ups sent before
        // it looked: the next one it answers, its backlog first.
        bool setUpsLostAfterBusy = false;
        // The second reply after a reset waits on the line until the next request is
        // in (a device that read it late), now and then with a byte doubled.
        bool secondLate = false;
        // The busy reply (busyAt) of a board that ends with a block and gives no length
        // has a byte of its samples doubled and junk right behind it, as where the next
        // request waited already (a set-up sent meanwhile forgot the board's way).
        bool junkBehindBusy = false;
    };

    CDescribedSatelBoard(double rateHz, Length length, bool loneEnding)
        : m_rate(rateHz), m_length(length), m_lone(loneEnding)
    {
    }
    ~CDescribedSatelBoard() { Stop(); }

    // Set before Start.
    void SetPlan(const Plan& plan)
    {
        m_plan = plan;
        m_random.seed(plan.seed);
        m_scheme.seed(plan.seed ^ 0x5A7E1u);
        m_again.seed(plan.seed ^ 0xA6A1Eu);
        m_firstDrop.seed(plan.seed ^ 0xD7051u);
        m_placed.seed(plan.seed ^ 0x2A91Cu);
        m_junk.seed(plan.seed ^ 0x7E4Bu);
        m_pieces.seed(plan.seed ^ 0x91EC5u);
        m_blockHit.seed(plan.seed ^ 0xB10C4u);
        m_second.seed(plan.seed ^ 0x5EC2Du);
        m_setUpStall.seed(plan.seed ^ 0x57A5E7u);
    }
    // Once the board is stopped, what each sample sent carried: the j whose RampSample
    // it repeats (j itself but in a still spell), or -1 for a '*'-high sample.
    const std::vector<int64_t>& Carried() const { return m_carried; }
    // The last sample that carries the same value as sample j (j itself but for the
    // first of a still spell).
    int64_t StillUntil(int64_t j) const
    {
        int64_t end = j;
        while (end + 1 < static_cast<int64_t>(m_carried.size()) &&
               m_carried[static_cast<size_t>(end + 1)] == j)
            ++end;
        return end;
    }
    // Samples sent out of range: '*'-high ones, and those a byte changed on the line.
    int64_t StarHighSent() const { return m_starHigh.load(); }
    // From now on the line meets no fault and the samples no new scheme: a still spell
    // ends at the next reply.
    void Calm() { m_calm = true; }
    // Once the board is stopped: the samples it had gathered by then.
    int64_t GatheredAt(std::chrono::steady_clock::time_point at) const
    {
        if (!m_clockStarted) return 0;
        const double periods = std::chrono::duration<double>(at - m_start).count() * Rate();
        if (periods < m_plan.phase) return 0;
        return static_cast<int64_t>(std::floor(periods - m_plan.phase)) + 1;
    }
    // A copy holding only the newest values (a still board's, or of a one-sample reply
    // just sent) that comes after the next request was sent is told from the answer by
    // its sample count alone: the counts by which such copies differ from the replies
    // next to them.
    int64_t StillCopySlack() const { return m_stillSlack.load(); }
    // Replies sent again (a request answered twice).
    int64_t CopiesSent() const { return m_copies.load(); }
    // Once the board is stopped: the bytes of each sample reply it sent intact (copies
    // too) and of those it damaged inside, replies it damaged or surrounded by noise (and
    // resets), those with a byte dropped; and whether its busy spell is over.
    const std::vector<size_t>& ReplySizes() const { return m_replySizes; }
    const std::vector<size_t>& DamagedSizes() const { return m_damagedSizes; }
    int Damaging() const { return m_damaging.load(); }
    int DroppedBytes() const { return m_droppedBytes.load(); }
    bool BusyOver() const { return m_plan.busyAt < 0 || m_busyOver.load(); }
    // Spells the board stopped answering for longer than the device waits (busy,
    // stalled, reset, gone, its slow line held up, or its thread held with a request
    // waiting, unread or unanswered).
    int Silences() const { return m_silences.load(); }
    // How long the first sample request (the offsets') waited for its answer's first
    // byte (a day: never answered), and the longest any request before it waited.
    int64_t FirstAnswerQuietMs() const { return m_firstQuietMs.load(); }
    int64_t SetupQuietMs() const { return m_setupQuietMs.load(); }
    // Answers nothing more, and waits until the device took all that was sent: every
    // reply sent can then be read whole before the device closes.
    bool Hush()
    {
        m_hush = true;
        for (int i = 0; i < 3000 && !m_hushed; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; i < 15 && WaitUntilTaken() > 0; ++i) {
        }
        return m_hushed && WaitUntilTaken() == 0;
    }

    // Replies sent while the board's way was this, and how many kinds of fault it met.
    int Resets() const { return m_resets.load(); }
    // Once the board is stopped: whether its replies ended with a lone '*' at the last.
    bool EndsLone() const { return m_lone; }
    // Sets the acknowledgements' length field (by default what the length bytes count).
    void SetAckLength(int length) { m_ackLength = length; }
    // Before the device opens the line: the board keeps a look at the line's receive
    // queue (an adapter's own buffer), to know when the device has taken what it sent.
    void Start(CPtyPair& pty)
    {
        m_pty = &pty;
        m_stop = false;
        m_look = ::open(pty.SlaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        m_thread = std::thread([this] { Run(); });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_look >= 0) ::close(m_look);
        m_look = -1;
    }
    // The adapter is plugged in again (another line): the board, whose clock ran on,
    // answers there.
    void Resume(CPtyPair& pty)
    {
        Stop();
        m_vanished = false;
        // Requests it had read but not answered went with the adapter: a real line
        // carries their replies nowhere.
        m_pending.clear();
        Start(pty);
    }
    // Samples sent so far (the first n ramp samples), and whether the adapter went.
    int64_t Sent() const { return m_sent.load(); }
    // The next reply with samples leaves half-way, and the adapter goes with it. The
    // samples of that reply, the first of them, and whether it went before the device
    // could tell it held samples.
    void VanishSoon() { m_vanishSoon = true; }
    int64_t GoneSamples() const { return m_goneSamples.load(); }
    int64_t GoneFrom() const { return m_goneFrom.load(); }
    bool GoneUnseen() const { return m_unseen.load(); }
    bool GoneWithoutLength() const { return m_goneWithoutLength.load(); }
    // Whether it ever sent samples closed by a lone '*' without a length (after a reset
    // too): the device may say such a reply's rest unsure.
    bool LoneWithoutLength() const { return m_loneWithoutLength.load(); }
    // The longest sample reply sent (bytes), and the longest time between two bytes
    // of a dribbled reply as they really left (a held-up board thread waits longer).
    size_t LongestReply() const { return m_longestReply.load(); }
    // Bytes of sample replies past their 64th, as sent: what tells a line's speed.
    int64_t LongReplyBytes() const { return m_longBytes.load(); }
    // Whether a fast line's long puts once carried fewer samples than the rate (NotePace).
    bool WentSlow() const { return m_wentSlow.load(); }
    int64_t LongestGapMs() const { return m_longestGapMs.load(); }
    bool Vanished() const { return m_vanished.load(); }

private:
    using Clock = std::chrono::steady_clock;
    // The first byte of an answer: the request waited with the line quiet from when the
    // board last found the line empty (its thread, held, may have read it late), or from
    // the end of the answer before.
    void NoteAnswerStart()
    {
        if (m_answerStarted) return;
        m_answerStarted = true;
        const auto quiet = Clock::now() - std::max(m_requestAt, m_lastPutEnd);
        const int64_t quietMs = std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count();
        if (quietMs > m_plan.stallMs / 3) ++m_silences;
        if (m_answering == 'B' && m_requests == 1) m_firstQuietMs = quietMs;
        if (m_answering != 'B' && m_requests == 0)
            m_setupQuietMs = std::max(m_setupQuietMs.load(), quietMs);
    }
    void Run()
    {
        std::string& pending = m_pending;
        auto emptyAt = Clock::now();
        while (!m_stop && !m_vanished) {
            pollfd entry{m_pty->Master(), POLLIN, 0};
            if (::poll(&entry, 1, 5) <= 0 || !(entry.revents & POLLIN)) {
                emptyAt = Clock::now();
                continue;
            }
            char bytes[64];
            const ssize_t got = ::read(m_pty->Master(), bytes, sizeof bytes);
            m_hushed = m_hush.load();
            if (got <= 0 || m_hushed) continue;
            m_requestAt = emptyAt;
            pending.append(bytes, static_cast<size_t>(got));
            while (pending.size() >= 8 && !m_vanished) {
                const char command = pending[4];
                pending.erase(0, 8);
                if (m_silentUntilConfigured && command != 'P') continue;
                if (Clock::now() < m_deafUntil) continue;
                if (command == 'P' && m_backlogSent && m_plan.lateSetUpMs > 0) {
                    m_backlogSent = false;
                    const auto late = std::chrono::milliseconds(m_plan.lateSetUpMs);
                    const auto until = Clock::now() + late;
                    while (!m_stop && Clock::now() < until)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                if (command == 'P' && m_silentUntilConfigured) {
                    // Back after a reset, counting and ending its replies another way.
                    m_silentUntilConfigured = false;
                    m_length = static_cast<Length>((static_cast<int>(m_length) + 1 + m_random() % 3) % 4);
                    m_lone = m_random() % 2 == 0;
                    m_sinceConfigured = 0;
                    m_repliesSinceReset = 0;
                    m_resetAgain = m_again() % 2 == 0;
                    ++m_resets;
                }
                if (command == 'P' && m_clockStarted) m_blockHitNext = m_plan.blockHitAfterSetUp;
                Answer(command);
                // The next request came before this reply ended: its reply follows this one
                // at once.
                pollfd next{m_pty->Master(), POLLIN, 0};
                m_behindReply = pending.size() >= 8 || (::poll(&next, 1, 0) > 0 && (next.revents & POLLIN));
            }
        }
    }
    static void PutU16(std::string& out, size_t value)
    {
        out.push_back(static_cast<char>((value >> 8) & 0xFF));
        out.push_back(static_cast<char>(value & 0xFF));
    }
    size_t LengthOf(size_t samples) const
    {
        const size_t ending = m_lone ? 1 : 6;
        switch (m_length) {
            case Length::Own:
                return 6 * samples + ending;
            case Length::Star:
                return 6 * samples + ending + 1;
            case Length::Samples:
                return 6 * samples;
            default:
                return 0;
        }
    }
    std::string Gathered()
    {
        std::string reply = {'#', 'I'};
        size_t count = 0;
        std::string body;
        if (m_clockStarted) {
            const int64_t gathered = GatheredAt(std::chrono::steady_clock::now());
            DrawScheme(gathered > m_sent.load());
            const int64_t starAt = DrawStarPlace(gathered - m_sent.load());
            for (int64_t j = m_sent.load(); j < gathered; ++j, ++count) {
                int64_t carried = m_stillLeft > 0 ? m_held : j;
                SatelSample sample = RampSample(carried);
                const bool high = count == 0 && m_starHighNext;
                if (high || static_cast<int64_t>(count) == starAt) {
                    sample = high ? StarHigh(sample) : StarPlaced(sample, j);
                    carried = -1;
                    ++m_starHigh;
                }
                m_carried.push_back(carried);
                for (int16_t value : sample) PutU16(body, static_cast<uint16_t>(value));
                m_newest = body.substr(body.size() - 6);
            }
            m_sent = std::max(m_sent.load(), gathered);
        }
        PutU16(reply, LengthOf(count));
        reply.push_back('B');
        reply += body;
        if (!m_lone) reply.append(5, '\0');
        reply.push_back('*');
        return reply;
    }
    // Whether this sample reply starts or ends a still spell and opens with a '*'-high
    // sample. A spell holds the last sample sent, which must be one of the ramp.
    void DrawScheme(bool hasSample)
    {
        m_starHighNext = false;
        if (!hasSample) return;
        if (m_stillLeft > 0) --m_stillLeft;
        if (m_calm) m_stillLeft = 0;
        const int64_t last = m_sent.load() - 1;
        const bool ramp = last >= 0 && m_carried[static_cast<size_t>(last)] == last;
        if (m_plan.stillFromBusy && m_plan.busyAt > 0 && m_requests == m_plan.busyAt + 1 &&
            !m_calm && (m_stillLeft > 0 || ramp)) {
            if (m_stillLeft == 0) m_held = last;
            m_stillLeft = 1000000;
        }
        if (m_sinceConfigured < 12 || m_calm) return;
        std::uniform_real_distribution<double> share(0.0, 1.0);
        if (m_stillLeft == 0 && share(m_scheme) < m_plan.stillShare && ramp) {
            // Mostly a few replies; now and then the rest of the run.
            m_stillLeft = m_scheme() % 4 == 0 ? 1000000 : 2 + static_cast<int>(m_scheme() % 60);
            m_held = last;
        }
        // A lone '*' after the header of a board that gives no length is an empty reply.
        m_starHighNext = m_stillLeft == 0 && share(m_scheme) < m_plan.starHighShare &&
                         !(m_length == Length::Zero && m_lone);
    }
    // Whether a reply's samples all hold the newest sample sent: a still board's answer
    // would hold no other.
    bool HoldsOnlyNewest(const std::string& reply, size_t ending) const
    {
        for (size_t at = 5; at + 6 + ending <= reply.size(); at += 6)
            if (reply.compare(at, 6, m_newest) != 0) return false;
        return true;
    }
    // A sensor 1 whose high byte is '*', now and then another one too.
    SatelSample StarHigh(SatelSample sample)
    {
        for (size_t i = 0; i < sample.size(); ++i) {
            if (i == 0 || m_scheme() % 3 == 0)
                sample[i] = static_cast<int16_t>(0x2A00 | (static_cast<uint16_t>(sample[i]) & 0xFF));
        }
        return sample;
    }
    // Which of the n samples of this reply has a '*' placed in it (-1: none). Not in the
    // offsets' reply (its first asks), nor in a still spell's. The first reply after a
    // reset, its ending not known yet, often opens with one.
    int64_t DrawStarPlace(int64_t n)
    {
        m_starOpening = false;
        std::uniform_real_distribution<double> share(0.0, 1.0);
        const bool anew = m_resets > 0 && m_repliesSinceReset == 0 && m_placed() % 2 == 0;
        if (n <= 0 || m_plan.starPlaceShare <= 0.0 ||
            (share(m_placed) >= m_plan.starPlaceShare && !anew))
            return -1;
        const int64_t at = anew ? 0 : static_cast<int64_t>(m_placed() % static_cast<uint64_t>(n));
        m_starOpening = anew;
        return m_requests > 3 && m_stillLeft == 0 && !m_calm ? at : -1;
    }
    // A '*' in a drawn byte, any value in the other byte of its sensor; the next sensor
    // out of range, told apart by j (two one-sample replies alike would be one and its
    // copy). A lone '*' opening a sample of a board that gives no length is its ending:
    // such a board never sends one.
    SatelSample StarPlaced(SatelSample sample, int64_t j)
    {
        const bool loneNoLength = m_length == Length::Zero && m_lone;
        size_t place = m_starOpening && m_placed() % 2 == 0 ? 0 : m_placed() % 6;
        if (loneNoLength && place == 0) place = 1 + m_placed() % 5;
        uint16_t other = static_cast<uint16_t>(m_placed() & 0xFF);
        if (loneNoLength && place == 1 && other == 0x2A) ++other;
        const size_t sensor = place / 2;
        sample[sensor] = static_cast<int16_t>(place % 2 == 0 ? 0x2A00 | other : (other << 8) | 0x2A);
        sample[(sensor + 1) % 3] = static_cast<int16_t>(0x1140 + j % 64);
        return sample;
    }
    // A byte changed on the line at `at`. Replies carry no check: a sample byte changed
    // into a value in range reads as one sent, which no reader can tell. Among the
    // samples the sensor's high byte takes a value out of the board's range (the spike
    // filter drops it); in the ending any value.
    void ChangeByte(std::string& reply, size_t at, size_t ending, std::mt19937& draw)
    {
        const uint32_t drawn = draw();
        if (at + ending >= reply.size()) {
            reply[at] = static_cast<char>(reply[at] ^ (1 + drawn % 255));
            return;
        }
        const size_t high = at - (at - 5) % 2;
        const auto inRange = [](uint8_t byte) { return byte <= 3 || byte == 0xFF; };
        uint8_t value = static_cast<uint8_t>(reply[high] ^ (1 + drawn % 255));
        while (inRange(value)) value = static_cast<uint8_t>(value + 4);
        reply[high] = static_cast<char>(value);
        ++m_starHigh;
    }
    // Junk of any byte values but a whole header (a reply to anyone), ending with a '*'.
    std::string Junk(size_t size)
    {
        std::string junk(size, '*');
        for (size_t i = 0; i + 1 < size; ++i) junk[i] = static_cast<char>(m_junk());
        for (size_t i = 0; i + 4 < junk.size(); ++i)
            if (junk[i] == '#' && junk[i + 1] == 'I') junk[i + 4] = 'x';
        return junk;
    }
    // Waits (up to two seconds) until the device has read all that was sent; returns
    // the bytes it left. Bytes sent reach the line's receive queue from a kernel worker,
    // late on a loaded machine: a poll of the line hands over what is on its way, so an
    // empty queue means read.
    int WaitUntilTaken() const
    {
        int waiting = 0;
        for (int i = 0; i < 2000 && m_look >= 0; ++i) {
            pollfd entry{m_look, POLLIN, 0};
            if (::poll(&entry, 1, 0) < 0 || ::ioctl(m_look, FIONREAD, &waiting) != 0) return 0;
            if (waiting == 0) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return waiting;
    }
    // Line noise, biased to the bytes a reply is made of ('#', 'I', '*', 0), that holds
    // no header (one would be a reply to anyone) unless made to.
    std::string Noise(size_t size) { return Noise(size, m_random); }
    std::string Noise(size_t size, std::mt19937& draw)
    {
        static const char kBias[] = {'#', 'I', '*', '\0', '\0'};
        std::string noise(size, '\0');
        for (char& c : noise) c = draw() % 2 ? kBias[draw() % 5] : static_cast<char>(draw());
        for (size_t i = 0; i + 4 < noise.size(); ++i)
            if (noise[i] == '#' && noise[i + 1] == 'I') noise[i + 4] = 'x';
        return noise;
    }
    // Whether a 'P' waits among the commands the line brought (read into m_pending).
    bool SetUpAsked()
    {
        char bytes[64];
        for (ssize_t got = 1; got > 0;) {
            pollfd entry{m_pty->Master(), POLLIN, 0};
            got = ::poll(&entry, 1, 0) > 0 ? ::read(m_pty->Master(), bytes, sizeof bytes) : 0;
            if (got > 0) m_pending.append(bytes, static_cast<size_t>(got));
        }
        for (size_t at = 4; at < m_pending.size(); at += 8)
            if (m_pending[at] == 'P') return true;
        return false;
    }
    // Until a command more waits (read into m_pending), a few seconds at most.
    void AwaitNextRequest()
    {
        const auto until = Clock::now() + std::chrono::seconds(3);
        while (!m_stop && !m_hush && m_pending.size() < 8 && Clock::now() < until) {
            char bytes[64];
            pollfd entry{m_pty->Master(), POLLIN, 0};
            if (::poll(&entry, 1, 2) <= 0 || !(entry.revents & POLLIN)) continue;
            const ssize_t got = ::read(m_pty->Master(), bytes, sizeof bytes);
            if (got > 0) m_pending.append(bytes, static_cast<size_t>(got));
        }
    }
    // Sends bytes at the line's speed (all at once on a fast line).
    // A slow line's reply stops where the board is hushed (the rest never comes).
    void Put(const std::string& bytes)
    {
        const auto from = Clock::now();
        PutPieces(bytes);
        NotePace(bytes.size(), Clock::now() - from);
    }
    void PutPieces(const std::string& bytes)
    {
        NoteAnswerStart();
        const int pace = m_pace > 0 ? m_pace : m_plan.lineBytesPerSecond;
        if (pace <= 0) {
            // As the line takes them; a board thread the machine held in between stalled
            // the reply all the same.
            for (size_t at = 0; at < bytes.size() && !m_stop; at += 64) {
                const auto previous = m_lastPutEnd;
                if (m_pty->SendUnless(bytes.substr(at, 64), m_stop))
                    m_put += std::min<size_t>(64, bytes.size() - at);
                if (at > 0) NoteHeld(previous);
                m_lastPutEnd = Clock::now();
            }
            return;
        }
        // In pieces of a millisecond's worth, each when the line has carried the last.
        const size_t piece = std::max<size_t>(1, static_cast<size_t>(pace) / 1000);
        for (size_t at = 0; at < bytes.size() && !m_stop; at += piece) {
            if (m_hush) {
                ++m_damaging;
                m_cutShort = true;
                return;
            }
            const std::string part = bytes.substr(at, piece);
            if (m_pty->SendUnless(part, m_stop)) m_put += part.size();
            m_lineFree += std::chrono::microseconds(static_cast<int64_t>(
                part.size() * 1.0e6 / pace));
            m_lineFree = std::max(m_lineFree, std::chrono::steady_clock::now() -
                                                  std::chrono::milliseconds(5));
            std::this_thread::sleep_until(m_lineFree);
            m_lastPutEnd = Clock::now();
            // A board thread the machine held longer than the device waits left the
            // line quiet all the same.
            NoteHeld(m_lineFree);
        }
    }
    // How fast a fast line carried the bytes of long puts: a board thread the machine held
    // between pieces slowed it all the same, and the device may say so.
    void NotePace(size_t bytes, Clock::duration took)
    {
        if (bytes <= 64 || m_plan.lineBytesPerSecond > 0) return;
        m_paceBytes += static_cast<double>(bytes - 64);
        m_paceUs += std::chrono::duration<double, std::micro>(took).count() *
                    static_cast<double>(bytes - 64) / static_cast<double>(bytes);
        if (m_paceUs >= 150000.0 && m_paceBytes * 1.0e6 / m_paceUs < 0.9 * 6.0 * m_rate)
            m_wentSlow = true;
    }
    // Quiet on the line since then longer than the device waits: stalled as by the line,
    // the device may refuse the reply.
    void NoteHeld(Clock::time_point since)
    {
        if (Clock::now() - since <= std::chrono::milliseconds(m_plan.stallMs / 3)) return;
        ++m_silences;
        if (!m_heldInReply) ++m_damaging;
        m_heldInReply = true;
    }
    Fault Draw(bool hasSample)
    {
        if (m_plan.kinds.empty() || m_sinceConfigured < 6 || m_calm) return Fault::None;
        std::uniform_real_distribution<double> share(0.0, 1.0);
        if (share(m_random) >= m_plan.faultShare) return Fault::None;
        const Fault fault = m_plan.kinds[m_random() % m_plan.kinds.size()];
        const bool inBody = fault == Fault::DoubledByte || fault == Fault::DroppedByte ||
                            fault == Fault::AddedByte || fault == Fault::NoiseInside ||
                            fault == Fault::StallDamage;
        if (inBody && !hasSample) return Fault::None;
        // A burst inside the samples of a board that gives no length cannot be told from
        // samples; noise right behind a lone ending without a length cannot be told from
        // a byte added inside the reply: the board's line is not asked for either.
        if (fault == Fault::NoiseInside && m_length == Length::Zero) return Fault::None;
        if (fault == Fault::NoiseAfter && m_length == Length::Zero && m_lone) return Fault::None;
        // Nor can noise before a reply be told from the rest of a damaged one before it,
        // or from bytes added to one it follows at once.
        if (fault == Fault::NoiseBefore && m_length == Length::Zero && m_lone &&
            (m_lastDamaged || m_behindReply))
            return Fault::None;
        return fault;
    }
    void Answer(char command)
    {
        m_answering = command;
        m_answerStarted = false;
        m_heldInReply = false;
        if (command == 'R' && !m_clockStarted) {
            m_clockStarted = true;
            m_start = std::chrono::steady_clock::now();
        }
        ++m_sinceConfigured;
        m_pace = 0;
        bool busyBacklog = false;
        if (command == 'B' && m_requests++ == m_plan.busyAt) {
            // Busy: the requests that come meanwhile wait on the line.
            const auto until = std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(m_plan.busyMs);
            const bool untilSetUp = m_plan.backlogMs > 0;
            const auto latest = until + std::chrono::seconds(untilSetUp ? 3 : 0);
            while (!m_stop && Clock::now() < latest && (Clock::now() < until || !SetUpAsked()))
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (untilSetUp && m_plan.setUpsLostAfterBusy) {
                // The line lost the set-ups asked so far: the board answers the next one,
                // the device having forgotten its way.
                std::string kept;
                for (size_t at = 0; at + 8 <= m_pending.size(); at += 8)
                    if (m_pending[at + 4] != 'P') kept += m_pending.substr(at, 8);
                m_pending = kept + m_pending.substr(m_pending.size() - m_pending.size() % 8);
                const auto again = Clock::now() + std::chrono::seconds(3);
                while (!m_stop && Clock::now() < again && !SetUpAsked())
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            busyBacklog = untilSetUp;
            m_busyOver = !untilSetUp;  // else once its paced backlog went
            ++m_silences;
        }
        m_setUpNew = m_setUpNew || command == 'P';
        if (command != 'B') {
            const int ack = m_ackLength >= 0 ? m_ackLength
                            : m_length == Length::Own  ? 1
                            : m_length == Length::Star ? 2
                                                       : 0;
            std::string reply = {'#', 'I'};
            PutU16(reply, static_cast<size_t>(ack));
            reply.push_back(command);
            reply.push_back('*');
            Put(reply);
            return;
        }
        const std::string clean = Gathered();
        if (busyBacklog) m_pace = m_plan.backlogBytesPerSecond;
        if (busyBacklog && m_pace == 0)
            m_pace = std::max<int>(1, static_cast<int>(clean.size() * 1000) / m_plan.backlogMs);
        m_backlogSent = m_backlogSent || busyBacklog;
        std::string reply = clean;
        m_longestReply = std::max(m_longestReply.load(), reply.size());
        const size_t ending = m_lone ? 1u : 6u;
        const bool hasSample = reply.size() > 5 + ending;
        if (hasSample && m_lone && m_length == Length::Zero) m_loneWithoutLength = true;
        const int64_t samples = static_cast<int64_t>((clean.size() - 5 - ending) / 6);
        if (m_copySamples >= 0) m_stillSlack += std::abs(m_copySamples - samples);
        m_copySamples = -1;
        Fault fault = Draw(hasSample);
        // The reply after the one with junk behind it comes whole: two replies a block a
        // byte off in a row read as a board that ends with a lone '*'.
        if (m_junkBehindLast && hasSample) fault = Fault::None;
        m_junkBehindLast = m_junkBehindLast && !hasSample;
        if (m_plan.stillFromBusy && m_requests == m_plan.busyAt + 1 && hasSample) {
            for (Fault inside : m_plan.kinds)
                if (inside == Fault::DoubledByte || inside == Fault::DroppedByte ||
                    inside == Fault::AddedByte)
                    fault = inside;
        }
        if (busyBacklog && hasSample && m_plan.backlogFault != Fault::None)
            fault = m_plan.backlogFault;
        const bool junkBehind = m_plan.junkBehindBusy && m_requests == m_plan.busyAt + 1 &&
                                hasSample && !m_calm && !m_lone && m_length == Length::Zero;
        if (junkBehind) fault = Fault::DoubledByte;
        m_junkBehindLast = m_junkBehindLast || junkBehind;
        const bool heldFake = busyBacklog && hasSample && m_plan.fakeBeforeBacklogMs > 0;
        if (heldFake && m_length != Length::Zero) fault = Fault::FakeHeader;
        // Now and then it goes again right behind its second reply the new way (the device
        // sets it up again before a third tells that way).
        if (++m_repliesSinceReset == 2 && m_resetAgain && fault == Fault::None)
            fault = Fault::Reset;
        // Now and then the first reply the new way loses a byte: its length read the
        // former way may end it too.
        if (m_repliesSinceReset == 1 && m_resets > 0 && hasSample && fault == Fault::None &&
            std::count(m_plan.kinds.begin(), m_plan.kinds.end(), Fault::DroppedByte) > 0 &&
            m_firstDrop() % 2 == 0)
            fault = Fault::DroppedByte;
        // And now and then the second too, before a whole reply shows the new way.
        if (m_repliesSinceReset == 1) m_droppedFirst = fault == Fault::DroppedByte;
        if (m_repliesSinceReset == 2 && m_droppedFirst && m_plan.dropSecond && hasSample &&
            fault == Fault::None)
            fault = Fault::DroppedByte;
        const bool secondLate = m_repliesSinceReset == 2 && m_resets > 0 && m_plan.secondLate;
        if (secondLate && hasSample && fault == Fault::None && m_second() % 2 == 0)
            fault = Fault::DoubledByte;
        // Right behind the first reply the new way it goes again, or hears nothing a while.
        const bool firstNewWay =
            m_repliesSinceReset == 1 && m_resets > 0 && fault == Fault::None && !m_calm;
        if (firstNewWay && m_plan.resetBehindFirst) fault = Fault::Reset;
        const bool deafAfter =
            firstNewWay && !m_plan.resetBehindFirst && m_plan.quietBehindFirstMs > 0;
        if (m_burstNext && hasSample && fault == Fault::None && m_length != Length::Zero &&
            !m_calm) {
            fault = Fault::NoiseInside;
            m_burstNext = false;
        }
        if (hasSample && m_vanishSoon && m_plan.fakeBeforeGone) fault = Fault::FakeHeader;
        const bool blockHit = m_blockHitNext && hasSample && !m_lone && !m_calm && !m_vanishSoon &&
                              fault != Fault::Reset;
        if (blockHit) {
            fault = Fault::StallDamage;
            m_blockHitNext = false;
        }
        const bool afterSetUp = m_plan.stallAfterSetUp && hasSample && m_setUpNew &&
                                m_requests > 6 && !m_calm && fault == Fault::None;
        if (afterSetUp) fault = Fault::StallDamage;
        // Its damage and stall drawn apart on the boards it came to last, so that their
        // other faults stay where they were.
        const bool drawnApart = afterSetUp && !(m_lone && (m_length == Length::Zero ||
                                                           m_length == Length::Own));
        std::mt19937& damageDraw = drawnApart ? m_setUpStall : m_random;
        m_setUpNew = m_setUpNew && !hasSample;
        // A copy of a reply that opens with a '*'-high sample may be refused.
        if (fault != Fault::None && (m_plan.starHighShare > 0.0 || fault != Fault::Repeat))
            ++m_damaging;
        // Besides its stall a byte changed (StallDamage), or a burst where it gives a length.
        const Fault damages[] = {Fault::DoubledByte, Fault::DroppedByte, fault, Fault::NoiseInside};
        const uint32_t kinds = m_length == Length::Zero ? 3 : 4;
        const Fault damage = blockHit                       ? damages[2 * (m_blockHit() % 2)]
                             : fault == Fault::StallDamage ? damages[damageDraw() % kinds]
                                                           : fault;
        if (damage == Fault::DroppedByte) ++m_droppedBytes;
        const bool behindDamaged = m_lastDamaged;
        m_lastDamaged = fault == Fault::DoubledByte || fault == Fault::DroppedByte ||
                        fault == Fault::AddedByte || fault == Fault::Stall ||
                        fault == Fault::Dribble || fault == Fault::StallDamage;
        // Somewhere among the samples and the ending.
        const size_t at = blockHit ? reply.size() - 6 + m_blockHit() % 6
                                   : 5 + m_random() % (reply.size() - 5 - (junkBehind ? ending : 0));
        switch (damage) {
            case Fault::DoubledByte:
                reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at), reply[at]);
                break;
            case Fault::DroppedByte:
                reply.erase(at, 1);
                break;
            case Fault::AddedByte:
                reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at),
                             static_cast<char>(m_random()));
                break;
            case Fault::StallDamage:  // a byte changed
                ChangeByte(reply, at, ending, damageDraw);
                break;
            case Fault::NoiseInside:
                reply.insert(at, Noise(1 + damageDraw() % 40, damageDraw));
                break;
            case Fault::NoiseBefore:
                Put(Noise(1 + m_random() % 40));
                break;
            case Fault::FakeHeader: {
                std::string fake = {'#', 'I'};
                // Like a reply of the board's way a few samples longer than the one behind.
                const uint32_t drawn = m_random();
                const size_t like = LengthOf(static_cast<size_t>(samples) + 1 + drawn % 4);
                const bool likeReply = (m_plan.fakeLikeReply || heldFake) && m_length != Length::Zero;
                PutU16(fake, likeReply ? like : 1 + drawn % 65535);
                fake.push_back('B');
                // Behind the one before a backlog, from a draw of its own: a few bytes
                // short of a sample, or fewer.
                const size_t noise = heldFake ? m_blockHit() % 6 : m_random() % (likeReply ? 6 : 40);
                Put(fake + Noise(noise));
                if (!heldFake) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(m_plan.fakeBeforeBacklogMs));
                NoteHeld(m_lastPutEnd);
                break;
            }
            default:
                break;
        }
        // Junk where the reply is awaited, as noise before it (and not where that noise
        // could not be told from a damaged reply's rest).
        std::uniform_real_distribution<double> junkShare(0.0, 1.0);
        const size_t junkSize = 100 + m_junk() % 1900;
        if (junkShare(m_junk) < m_plan.junkShare && fault == Fault::None && m_requests > 3 &&
            m_sinceConfigured >= 6 && !m_calm &&
            !(m_length == Length::Zero && m_lone && (behindDamaged || m_behindReply))) {
            Put(Junk(junkSize));
            ++m_damaging;
        }
        if (secondLate) AwaitNextRequest();
        m_put = 0;
        m_cutShort = false;
        m_heldInReply = false;
        if (hasSample && m_vanishSoon.exchange(false)) {
            // The adapter goes once the device has the first half. A device that does
            // not read meanwhile (it gave up on a held-up board and tries again later)
            // sees what it read.
            const std::string half = reply.substr(0, reply.size() / 2);
            NoteAnswerStart();
            m_pty->SendUnless(half, m_stop);
            m_lastPutEnd = Clock::now();
            const size_t seen =
                half.size() - std::min(half.size(), static_cast<size_t>(WaitUntilTaken()));
            std::this_thread::sleep_for(std::chrono::milliseconds(m_plan.goneAfterMs));
            // Gone later than the device waits for a byte, the half may be refused first.
            NoteHeld(m_lastPutEnd);
            // Without the header's kind and a byte more the device cannot tell a reply
            // with samples: they go without a word.
            m_goneSamples = samples;
            m_goneWithoutLength = m_length == Length::Zero;
            m_goneFrom = m_sent.load() - m_goneSamples;
            m_unseen = seen <= 5;
            m_pty->CloseMaster();
            ++m_silences;
            if (busyBacklog) m_busyOver = true;  // its backlog went with the adapter
            m_vanished = true;
            return;
        }
        if (fault == Fault::Dribble && reply.size() < 40) {
            NoteAnswerStart();
            for (char byte : reply) {
                m_pty->SendUnless(std::string(1, byte), m_stop);
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + m_random() % 4));
            }
            m_put = reply.size();
            m_lastPutEnd = Clock::now();
        } else if (fault == Fault::Stall || fault == Fault::StallDamage) {
            const size_t cut = afterSetUp ? std::min(reply.size() - 1, at + 1 + damageDraw() % 12)
                                          : 5 + m_random() % (reply.size() - 5);
            Put(reply.substr(0, cut));
            ++m_silences;
            std::this_thread::sleep_for(std::chrono::milliseconds(m_plan.stallMs));
            Put(reply.substr(cut));
        } else if (m_lone && (fault == Fault::DoubledByte || fault == Fault::AddedByte) &&
                   m_late() % 2 == 0) {
            // A loaded machine hands the last byte over late: a sample's '*' the added
            // byte put where the length ends the reply waits alone on the line a while,
            // now and then longer than the device waits for a reply.
            Put(reply.substr(0, reply.size() - 1));
            const int lateMs = m_late() % 3 == 0 ? m_plan.stallMs / 2 : 12;
            std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
            Put(reply.substr(reply.size() - 1));
        } else if (m_lone && (fault == Fault::DoubledByte || fault == Fault::AddedByte) &&
                   m_plan.restLate) {
            // Or in two pieces a few milliseconds apart, cut a little past the damage: a
            // sample's '*' that closed it early leaves its rest on its way.
            const size_t cut = std::min(reply.size() - 1, at + 1 + m_pieces() % 12);
            Put(reply.substr(0, cut));
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + m_pieces() % 7));
            Put(reply.substr(cut));
        } else {
            Put(reply);
        }
        m_longBytes += static_cast<int64_t>(std::max<size_t>(reply.size(), 64) - 64);
        // Bytes lost, added or held up inside may close a reply before it is long; one
        // the board left unfinished may still be on its way when the device closes.
        const bool intact = fault != Fault::DoubledByte && fault != Fault::DroppedByte &&
                            fault != Fault::AddedByte && fault != Fault::NoiseInside &&
                            fault != Fault::Stall && fault != Fault::StallDamage && !m_cutShort &&
                            !m_heldInReply;
        (intact ? m_replySizes : m_damagedSizes).push_back(m_put);
        if (fault == Fault::NoiseAfter) {
            // Now and then a closing block of noise: a reply that ran on would close there.
            const size_t size = 1 + m_random() % 40;
            Put(size % 8 == 0 ? std::string(5, '\0') + '*' : Noise(size));
        }
        if (junkBehind) {
            Put(Junk(100 + m_junk() % 1900));
            ++m_damaging;
        }
        // Replies that reached the device whole may come again: this one, or one of up
        // to three requests back.
        const bool whole = fault == Fault::None || fault == Fault::NoiseBefore ||
                           fault == Fault::Dribble || fault == Fault::Repeat ||
                           fault == Fault::FakeHeader;
        m_clean.push_back(whole ? clean : std::string());
        if (m_clean.size() > 4) m_clean.erase(m_clean.begin());
        const size_t back = m_random() % 4;
        if (fault == Fault::Repeat && m_clean.size() > back && !m_clean[m_clean.size() - 1 - back].empty()) {
            const std::string& copy = m_clean[m_clean.size() - 1 - back];
            m_put = 0;
            Put(copy);
            m_longBytes += static_cast<int64_t>(std::max<size_t>(copy.size(), 64) - 64);
            m_replySizes.push_back(m_put);
            if (HoldsOnlyNewest(copy, ending)) {
                m_copySamples = static_cast<int64_t>((copy.size() - 5 - ending) / 6);
                m_stillSlack += std::abs(m_copySamples - samples);
            }
            ++m_copies;
        }
        if (busyBacklog) m_busyOver = true;
        if (deafAfter) {
            m_deafUntil = Clock::now() + std::chrono::milliseconds(m_plan.quietBehindFirstMs);
            m_burstNext = true;
            ++m_silences;
            ++m_damaging;
        }
        if (fault == Fault::Reset) {
            m_silentUntilConfigured = true;
            ++m_silences;
            m_clean.clear();
        }
    }

    CPtyPair* m_pty = nullptr;  // non-owning; set by Start
    int m_look = -1;            // the line's device side, for its receive queue only
    const double m_rate;
    double Rate() const { return m_rate * m_plan.rateFactor; }
    std::atomic<bool> m_calm{false};
    Length m_length;  // board thread (set before Start)
    bool m_lone;
    Plan m_plan;
    std::string m_pending;                 // board thread only: commands read, not answered
    int m_pace = 0;                        // and the pace of this answer (0: the line's)
    bool m_silentUntilConfigured = false;  // board thread only, as the two below
    int m_sinceConfigured = 0;
    int m_repliesSinceReset = 0;           // sample replies since the last reset
    bool m_resetAgain = false;             // and whether it resets again behind the second
    Clock::time_point m_deafUntil;         // hears nothing until then
    bool m_burstNext = false;              // a burst inside the next reply with samples
    bool m_droppedFirst = false;           // the first reply since the reset lost a byte
    bool m_backlogSent = false;            // its backlog went, no set-up answered late yet
    bool m_lastDamaged = false;            // the last reply met a fault inside it
    bool m_setUpNew = false;               // set up since the last reply with samples
    bool m_behindReply = false;            // the next reply follows the last at once
    bool m_junkBehindLast = false;         // junk went behind the last reply with samples
    std::vector<std::string> m_clean;      // the last replies as the board made them
    std::atomic<int> m_resets{0};
    int m_ackLength = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_vanished{false};
    std::atomic<bool> m_vanishSoon{false};
    std::atomic<int64_t> m_goneSamples{0};
    std::atomic<int64_t> m_goneFrom{0};
    std::atomic<bool> m_unseen{false};
    std::atomic<bool> m_goneWithoutLength{false};
    std::atomic<bool> m_loneWithoutLength{false};
    std::atomic<int64_t> m_sent{0};
    std::atomic<size_t> m_longestReply{0};
    std::atomic<int64_t> m_longBytes{0};
    double m_paceBytes = 0.0;  // board thread: long puts' bytes and time (NotePace)
    double m_paceUs = 0.0;
    std::atomic<bool> m_wentSlow{false};
    std::atomic<int64_t> m_starHigh{0};
    std::atomic<int64_t> m_stillSlack{0};
    int64_t m_copySamples = -1;  // board thread: the samples of a still copy just sent
    std::atomic<int64_t> m_copies{0};
    std::atomic<int> m_damaging{0};
    std::atomic<int> m_droppedBytes{0};
    std::atomic<bool> m_busyOver{false};
    std::atomic<int> m_silences{0};
    std::atomic<int64_t> m_firstQuietMs{86400000};
    std::atomic<int64_t> m_setupQuietMs{0};
    // Board thread: the line last found empty before the request being answered, the
    // end of the last bytes put, the command answered and whether its first byte went.
    Clock::time_point m_requestAt;
    Clock::time_point m_lastPutEnd;
    char m_answering = 0;
    bool m_answerStarted = true;
    std::atomic<bool> m_hush{false};
    std::atomic<bool> m_hushed{false};
    int m_requests = 0;                  // board thread: sample requests read
    std::vector<size_t> m_replySizes;    // board thread (read once it stopped), as below
    std::vector<size_t> m_damagedSizes;
    size_t m_put = 0;                    // board thread: bytes of the reply put so far
    bool m_cutShort = false;             // and whether the board left it unfinished
    bool m_heldInReply = false;          // or its thread was held midway past the device's wait
    std::atomic<int64_t> m_longestGapMs{0};
    // Board thread only.
    bool m_clockStarted = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lineFree;
    std::mt19937 m_random{20261208};
    std::mt19937 m_late{20261210};   // which damaged replies come with their last byte late
    std::mt19937 m_blockHit{20261216};  // how the block after a set-up is hit
    bool m_blockHitNext = false;         // board thread: and whether the next one is
    std::mt19937 m_pieces{20261215};  // where and how late the rest of the others comes
    std::mt19937 m_second{20261216};  // which late second replies after a reset are damaged
    std::mt19937 m_setUpStall{20261217};  // how the first reply after a set-up is hit
    std::mt19937 m_again{20261211};  // which resets come again at once
    std::mt19937 m_firstDrop{20261212};  // which first replies after a reset lose a byte
    std::mt19937 m_placed{20261213};     // where a '*' is placed in a sample
    bool m_starOpening = false;          // and whether it opens the first reply anew
    std::mt19937 m_junk{20261214};       // junk before replies
    // Board thread (read once it stopped): the sample scheme.
    std::mt19937 m_scheme{20261209};
    std::vector<int64_t> m_carried;  // what sample j carried (Carried)
    int m_stillLeft = 0;             // sample replies left in the still spell
    int64_t m_held = 0;              // the sample the spell holds
    bool m_starHighNext = false;     // this reply opens with a '*'-high sample
    std::string m_newest;            // the newest sample sent, as sent
};
