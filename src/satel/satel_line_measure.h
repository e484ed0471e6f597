#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Whether a SATEL board's line carries the samples its rate makes: the bytes of long
// sample replies that came while the reply was still on its way, against the frames
// that fell due meanwhile (each takes one sample's bytes). Fed by the acquisition
// thread's reads of the line, in order; times are program time in microseconds.
class CSatelLineMeasure {
public:
    static constexpr size_t kSampleSize = 6;

    void SetPeriod(int periodMs) { m_periodUs = periodMs * 1000.0; }
    // The line was found with nothing on it.
    void NoteEmpty(double nowUs);
    // A read brought that many bytes: backlog, some waited on the line when it began (the
    // reader was held up, the line went on); full, it took all the room it had (more
    // wait, come at no known time). Returns the read's number (never 0).
    uint32_t NoteRead(double nowUs, size_t bytes, bool backlog, bool full);
    // The first byte of a reply (or of noise): the time before its read was the board's,
    // and the reply before is over.
    void NoteReplyStart(uint32_t read);
    // The count-th byte of a sample reply, brought by that read (0: noted already; bytes
    // looked ahead at and read again come with their read). True once, when the line is
    // found too slow for the rate.
    bool NoteReplyByte(uint32_t read, size_t count);
    // Once found too slow: samples a second the line carried, and those the rate takes.
    double Carried() const { return m_carried; }
    double Rate() const { return m_periodUs > 0.0 ? 1.0e6 / m_periodUs : 0.0; }
    bool IsSlow() const { return m_slow; }

private:
    // The line is judged each time the frames due in this much more time of replies
    // flowing were counted, over that window and the one before.
    static constexpr double kWindowUs = 100000.0;

    // Reads whose time is kept: bytes read again come a few reads late at most.
    static constexpr uint32_t kReadsKept = 16;

    void CommitPending();
    // The time that read's bytes took to come (-1: unknown, or too long ago).
    double GapOf(uint32_t read) const;

    double m_periodUs = 25000.0;
    uint32_t m_readCount = 0;
    double m_readUs = 0.0;       // the last read that brought bytes
    double m_emptyUs = 0.0;      // the line last found empty
    bool m_untimed = false;      // bytes of the last read came at no known time
    // The time the last reads' bytes took to come (-1: unknown).
    std::array<double, kReadsKept> m_readGaps{};
    // The read last seen by reply bytes: its time and long-reply bytes, counted once a
    // later read brings more of the same reply (the line was busy all along).
    uint32_t m_pendingRead = 0;
    double m_pendingUs = -1.0;   // -1: no known time
    int64_t m_pendingBytes = 0;
    int64_t m_pendingAll = 0;  // and all its bytes of the reply
    // Counted so far: frames due (in microseconds) and bytes; when to judge next.
    double m_flowUs = 0.0;
    int64_t m_flowBytes = 0;
    double m_judgeAtUs = kWindowUs;
    // Where the last window and the one before began, and whether the last was slow.
    double m_windowUs = 0.0;
    int64_t m_windowBytes = 0;
    double m_pairUs = 0.0;
    int64_t m_pairBytes = 0;
    bool m_windowSlow = false;
    bool m_slow = false;
    double m_carried = 0.0;
};
