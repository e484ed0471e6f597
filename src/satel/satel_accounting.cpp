// Accounting of the SATEL board's replies: a reply brings samples only when a request
// waits for it and it repeats no earlier reply; a refused one's samples are counted
// lost, never more than the board can have gathered meanwhile.
#include "satel/satel_device.h"

#include "satel/satel_bytes.h"

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace satel;

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int64_t CSerialSatelDevice::Bounded(int64_t samples)
{
    if (samples <= 0) return 0;
    if (m_boundFromUs <= 0.0) return samples;
    // The board's clock may run a little fast; a sample or two may fall either side.
    const double sinceMs = std::max(ReadProgramClockUs() - m_boundFromUs, 0.0) / 1000.0;
    const int64_t held = static_cast<int64_t>(sinceMs * 1.02 / m_period) + 2;
    return std::min(samples, std::max<int64_t>(held - m_countedSince, 0));
}

int64_t CSerialSatelDevice::MostGathered() const
{
    if (m_boundFromUs <= 0.0) return -1;
    const double sinceMs = std::max(m_firstByteUs - m_boundFromUs, 0.0) / 1000.0;
    return std::max<int64_t>(static_cast<int64_t>(sinceMs * 1.02 / m_period) + 2 - m_countedSince, 0);
}

// The board keeps its way across a pulled adapter: a length it gave is read by that way
// once known. Without one the bytes that came tell only the fewest it held, so the most
// the time allows is said, the difference counted apart as unsure: a loss is never said
// smaller than the frames show it.
void CSerialSatelDevice::CountVanished(size_t count)
{
    if (!IsRequestWaiting()) {
        if (!AnswersAhead()) return;  // a copy: nothing of it is lost
        UseAhead();
    }
    m_tookAhead = false;
    CountGone(count);
}

void CSerialSatelDevice::CountGone(size_t count)
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    const int64_t most = MostGathered();
    int64_t samples = m_byLength;
    if (samples < 0 && m_headerPlausible && length > 0) samples = GoneByReadings(length, most);
    int64_t unsure = 0;
    if (samples < 0) {
        const int64_t seen = static_cast<int64_t>((count - kHeaderSize) / kSampleSize);
        samples = std::max(seen, most);
        unsure = samples - seen;
    }
    const int64_t lost = Bounded(samples);
    m_countedSince += lost;
    CountLost(lost, unsure - (samples - lost));
}

namespace {

size_t GoneSlot(size_t rule, CSerialSatelDevice::Ending ending)
{
    return rule + (ending == CSerialSatelDevice::Ending::Lone ? 3 : 0);
}

}  // namespace

// Each way the board may count and end (the learnt ones only) reads the length: those
// that make whole samples the time allows are kept; the fewest are counted now, the
// rest by the way a whole reply shows later. -1: none fits.
int64_t CSerialSatelDevice::GoneByReadings(size_t length, int64_t most)
{
    if (m_goneOpen) SettleGone(0, 0, Ending::Unknown);
    m_goneReadings.fill(-1);
    int64_t fewest = -1;
    int64_t largest = -1;
    for (Ending ending : {Ending::Block, Ending::Lone}) {
        if (m_ending != Ending::Unknown && ending != m_ending) continue;
        const std::array<Reading, 3> readings = Readings(length, ending);
        for (size_t i = 0; i < readings.size(); ++i) {
            const int64_t samples = readings[i].samples;
            if ((m_lengthRule != LengthRule::Unknown && kReadRules[i] != m_lengthRule) ||
                samples < 0 || (most >= 0 && samples > most))
                continue;
            m_goneReadings[GoneSlot(i, ending)] = samples;
            fewest = fewest < 0 ? samples : std::min(fewest, samples);
            largest = std::max(largest, samples);
        }
    }
    m_goneOpen = fewest >= 0 && largest > fewest;
    m_goneCounted = fewest;
    return fewest;
}

// While the board's rule is learnt again, noise inside a refused reply may leave room
// for its length read more than one way: the fewest are said now, what each other way
// reads more is kept, reply by reply, for the way a whole reply shows.
int64_t CSerialSatelDevice::FewestReadingKept(int64_t byBytes, size_t length)
{
    if (m_lengthRule != LengthRule::Unknown || length == 0 || byBytes <= 0)
        return NoMoreThanLength(byBytes, length);
    std::array<int64_t, 6> readings;
    readings.fill(-1);
    int64_t fewest = -1;
    for (Ending ending : {Ending::Block, Ending::Lone}) {
        if (m_ending != Ending::Unknown && ending != m_ending) continue;
        const std::array<Reading, 3> byRule = Readings(length, ending);
        for (size_t i = 0; i < byRule.size(); ++i) {
            if (byRule[i].samples < 0 || byRule[i].samples > byBytes) continue;
            readings[GoneSlot(i, ending)] = byRule[i].samples;
            fewest = fewest < 0 ? byRule[i].samples : std::min(fewest, byRule[i].samples);
        }
    }
    if (fewest < 0) return byBytes;
    for (size_t slot = 0; slot < readings.size(); ++slot)
        if (readings[slot] > fewest) m_readingRest[slot] += readings[slot] - fewest;
    return fewest;
}

void CSerialSatelDevice::SettleReadingRest(size_t length, size_t count, Ending ending)
{
    // An empty reply of length 0 tells no rule.
    const LengthRule rule = RuleFor(length, count, ending);
    if (rule == LengthRule::Unknown || rule == LengthRule::None ||
        (length == 0 && WholeSamples(count, ending) == 0))
        return;
    int64_t rest = 0;
    for (size_t i = 0; i < 3; ++i)
        if (kReadRules[i] == rule) rest = m_readingRest[GoneSlot(i, ending)];
    m_readingRest.fill(0);
    CountLost(rest);
}

// ending Unknown: nothing will tell (another reply went the same way): the most reading
// is said, the difference unsure.
void CSerialSatelDevice::SettleGone(size_t length, size_t count, Ending ending)
{
    if (!m_goneOpen) return;
    int64_t shown = -1;
    if (ending != Ending::Unknown) {
        // An empty reply of length 0 tells no rule.
        const LengthRule rule = RuleFor(length, count, ending);
        if (rule == LengthRule::Unknown || (length == 0 && WholeSamples(count, ending) == 0)) return;
        for (size_t i = 0; i < 3; ++i)
            if (kReadRules[i] == rule) shown = m_goneReadings[GoneSlot(i, ending)];
    }
    m_goneOpen = false;
    if (shown >= 0) {
        CountLost(shown - m_goneCounted);
        return;
    }
    // Set up another way since: the most reading stands, what it may say more unsure.
    const int64_t most = *std::max_element(m_goneReadings.begin(), m_goneReadings.end());
    CountLost(most - m_goneCounted, most - m_goneCounted);
}

int64_t CSerialSatelDevice::SamplesByBytes(size_t count, const uint8_t* tail) const
{
    // Before the board showed its ending, the bytes' own tell: five zero bytes and '*'
    // (no sample of a loaded board), or a '*' a block's byte short of whole samples (a
    // lone '*' would be two bytes off), or five zero bytes a byte short, their '*' lost;
    // or a block at whole samples with one byte changed (four zeros of five, then '*';
    // five zeros, then its '*' changed: a refused rest ends there); or else a lone '*'.
    Ending ending = m_ending;
    if (ending == Ending::Unknown && count >= kHeaderSize + kClosingSize) {
        const bool star = tail[kClosingSize - 1] == kTerminator;
        const bool blockShort = (count - kHeaderSize) % kSampleSize == kClosingSize - 1;
        const bool zeros = std::all_of(tail + (star ? 0 : 1), tail + kClosingSize - (star ? 1 : 0),
                                       [](uint8_t b) { return b == 0; });
        const auto zerosBefore = std::count(tail, tail + kClosingSize - 1, uint8_t{0});
        const bool blockChanged =
            (count - kHeaderSize) % kSampleSize == 0 &&
            zerosBefore >= static_cast<std::ptrdiff_t>(star ? kClosingSize - 2 : kClosingSize - 1);
        ending = (star && (zeros || blockShort)) || (!star && zeros && blockShort) || blockChanged
                     ? Ending::Block
                     : Ending::Lone;
    } else if (ending == Ending::Unknown) {
        ending = Ending::Lone;
    }
    const size_t closing = EndingSize(ending);
    if (count <= kHeaderSize + closing) return 0;
    // A byte doubled or dropped makes no sample more or less.
    return static_cast<int64_t>((count - kHeaderSize - closing + kSampleSize / 2) / kSampleSize);
}

CSerialSatelDevice::Span CSerialSatelDevice::ReadingsWithin(int64_t byBytes, size_t length,
                                                             Ending known) const
{
    if (known == Ending::Unknown) known = m_ending;
    Span span;
    for (Ending ending : {Ending::Block, Ending::Lone}) {
        if (known != Ending::Unknown && ending != known) continue;
        const std::array<Reading, 3> readings = Readings(length, ending);
        for (size_t i = 0; i < readings.size(); ++i) {
            const int64_t samples = readings[i].samples;
            if (samples < 0 || samples > byBytes) continue;
            const unsigned rule = 1u << static_cast<unsigned>(kReadRules[i]);
            span.fewest = span.fewest < 0 ? samples : std::min(span.fewest, samples);
            if (samples > span.most) span.mostRules = 0;
            if (samples >= span.most) span.mostRules |= rule;
            span.most = std::max(span.most, samples);
        }
    }
    return span;
}

// Noise inside a reply makes more bytes but no samples: where its length, read in any
// way a board counts and ends, makes whole samples no more than its bytes do, the most
// of those is what it held (a byte lost still rounds to that count by bytes).
int64_t CSerialSatelDevice::NoMoreThanLength(int64_t byBytes, size_t length, Ending known) const
{
    if (length == 0 || byBytes <= 0) return byBytes;
    const int64_t most = ReadingsWithin(byBytes, length, known).most;
    return most >= 0 ? most : byBytes;
}

// So too before the board showed how it counts, but where its length reads two ways the
// fewer are said now, the rest once a whole reply shows a rule that reads more (kept by
// Refuse, settled by SettleRuleRest).
int64_t CSerialSatelDevice::FewerReading(int64_t byBytes, size_t length, Ending known)
{
    if (length == 0 || byBytes <= 0) return byBytes;
    const Span span = ReadingsWithin(byBytes, length, known);
    if (span.most < 0) return byBytes;
    if (m_lengthRule != LengthRule::Unknown || span.most == span.fewest) return span.most;
    m_anewRuleRest = {0, span.most - span.fewest};
    m_anewRules = span.mostRules;
    m_anewFewer = true;
    return span.fewest;
}

size_t CSerialSatelDevice::Remember(const uint8_t* bytes, size_t count)
{
    // Replies alike are kept once: a still board's leave room for those of the
    // requests before.
    if (count < kHeaderSize + kSampleSize || IsCopy(bytes, count)) return kSeen;
    const size_t slot = m_seenNext;
    count = std::min(count, kMaxReply);
    std::memcpy(m_seen[slot].data(), bytes, count);
    m_seenSize[slot] = count;
    m_seenNext = (slot + 1) % kSeen;
    return slot;
}

// A copy of an earlier reply: the same bytes. (A copy damaged on the line cannot be told
// from a damaged fresh reply: successive samples may differ in one byte.)
bool CSerialSatelDevice::IsCopy(const uint8_t* bytes, size_t count) const
{
    if (count < kHeaderSize + kSampleSize) return false;
    for (size_t i = 0; i < kSeen; ++i)
        if (m_seenSize[i] == count && std::memcmp(m_seen[i].data(), bytes, count) == 0) return true;
    return false;
}

bool CSerialSatelDevice::BegunAsCopy(const uint8_t* bytes, size_t count) const
{
    // A still board's fresh replies begin alike too: only samples that change tell.
    bool changes = false;
    for (size_t at = kHeaderSize + kSampleSize; at + kSampleSize <= count && !changes;
         at += kSampleSize)
        changes = std::memcmp(bytes + at, bytes + kHeaderSize, kSampleSize) != 0;
    if (!changes) return false;
    for (size_t i = 0; i < kSeen; ++i)
        if (m_seenSize[i] > count && std::memcmp(m_seen[i].data(), bytes, count) == 0) return true;
    return false;
}

bool CSerialSatelDevice::IsStill(size_t count, Ending ending) const
{
    const int samples = SamplesIn(count, ending);
    if (samples <= 0 || !m_hasNewest) return false;
    for (int j = 0; j < samples; ++j)
        if (std::memcmp(m_reply.data() + kHeaderSize + static_cast<size_t>(j) * kSampleSize,
                        m_newest.data(), kSampleSize) != 0)
            return false;
    return true;
}

CSerialSatelDevice::Reply CSerialSatelDevice::Refuse(size_t count, int64_t samples)
{
    m_stoppedHeader = false;
    m_damagedReplies.fetch_add(1);
    m_replyFill = 0;
    m_inGarbage = false;
    // A damaged reply of this board answers a request, as a whole one does; one that no
    // request waits for, or that repeats an earlier one, is a copy: nothing is lost.
    // (Only whole replies are kept: two damaged fresh ones may be alike, a byte lost
    // where their samples differ.) A still board's replies are alike too: one whose
    // samples all hold the newest values taken is its answer where a request waits.
    // One that stopped where an earlier whole reply goes on alike is a copy cut short: a
    // fresh reply begins with newer samples, unless the board is still. A copy answers
    // no request.
    const bool still = IsStill(count, Ending::Block) || IsStill(count, Ending::Lone);
    bool copy = (IsCopy(m_reply.data(), count) || BegunAsCopy(m_reply.data(), count)) && !still;
    m_refusedAnswered = false;
    if (!copy && count >= kHeaderSize && m_reply[4] == kSamples && m_headerPlausible) {
        if (IsRequestWaiting()) {
            NoteAnswered();
            m_refusedAnswered = true;
        } else if (AnswersAhead()) {
            UseAhead();
        } else {
            copy = true;
        }
    }
    m_tookAhead = false;  // only the reply next after a refused one may be its
    m_refusedCopy = copy;
    // Where the fewer reading holds none, the rest of the others still waits to be told.
    if (!copy) {
        const int64_t lost = Bounded(samples);
        m_countedSince += lost;
        CountLost(lost);
        if (m_anewRest[0] + m_anewRest[1] > 0) m_otherWayWhole = false;
        m_otherWayRest[0] += m_anewRest[0];
        m_otherWayRest[1] += m_anewRest[1];
        if (m_anewRuleRest[0] + m_anewRuleRest[1] > 0) {
            // Replies refused alike before a whole one showed the rule: their rests add up.
            const LengthRule former = m_anewFewer ? LengthRule::Unknown : m_formerRule;
            if (m_ruleRestRules != m_anewRules || m_ruleRestFormer != former ||
                m_ruleRestEnding != m_anewRuleEnding)
                m_ruleRest = {0, 0};
            m_ruleRest[0] += m_anewRuleRest[0];
            m_ruleRest[1] += m_anewRuleRest[1];
            m_ruleRestRules = m_anewRules;
            m_ruleRestFormer = former;
            m_ruleRestEnding = m_anewRuleEnding;
        }
    }
    m_anewRest = {0, 0};
    m_anewRuleRest = {0, 0};
    m_anewFewer = false;
    m_anewRuleEnding = Ending::Unknown;
    return Reply::Damaged;
}

// While the board's way is learnt again, a refused reply read by its length the former
// way may hold another count read the other ending's way (a byte lost or added inside):
// the fewer are said now, the rest once the next reply shows which ending the board has.
// grown: noise inside made it longer than its length can mean; the other ending's reading
// may end anywhere before its end (noise may hide either ending).
int64_t CSerialSatelDevice::RefusedAnew(size_t count, bool grown)
{
    m_anewRest = {0, 0};
    m_anewRuleRest = {0, 0};
    m_anewRules = 0;
    m_anewFewer = false;
    m_anewRuleEnding = Ending::Unknown;
    const int64_t samples = RefusedSamples(count);
    const size_t length = count >= kHeaderSize ? DecodeU16(m_reply.data() + 2) : 0;
    // No way the board showed reads its length: every way does, the fewer said now.
    if (m_lengthRule == LengthRule::Unknown && m_byLength < 0 && m_headerPlausible && length > 0 &&
        m_reply[4] == kSamples && count >= kClosingSize && SamplesByLengthGuess(count, true) < 0)
        return FewerReading(SamplesByBytes(count, m_reply.data() + count - kClosingSize), length);
    if (m_ending != Ending::Unknown || m_formerEnding == Ending::Unknown || m_byLength >= 0 ||
        !m_headerPlausible || length == 0 || m_reply[4] != kSamples ||
        m_formerRule == LengthRule::Unknown || m_formerRule == LengthRule::None ||
        samples != SamplesByLengthGuess(count, true))
        return samples;
    const Ending other = m_formerEnding == Ending::Lone ? Ending::Block : Ending::Lone;
    // Past where its length ends it the former way: noise inside, which may hide where
    // the other ending's reading ends as well.
    grown = grown || count > LengthEnd(length, m_formerRule, m_formerEnding) + 1;
    int64_t fewest = -1;
    for (const Reading& reading : Readings(length, other)) {
        if (reading.samples < 0 || (reading.end + 1 < count && !grown) ||
            reading.end > count + 1)
            continue;
        fewest = fewest < 0 ? reading.samples : std::min(fewest, reading.samples);
    }
    if (samples < 0) return samples;
    // The same ending, its length counted another way, a byte lost or added: the board
    // may have been set up to count so.
    unsigned rules = 0;
    const int64_t anotherRule = OtherRuleReading(count, length, rules);
    if (fewest < 0) {
        if (anotherRule < 0) return samples;
        const int64_t now = std::min(samples, anotherRule);
        m_anewRuleRest = {samples - now, anotherRule - now};
        m_anewRules = rules;
        return now;
    }
    const int64_t now = std::min({samples, fewest, anotherRule < 0 ? samples : anotherRule});
    m_anewRest = {samples - now, fewest - now};
    // Read both ways, the other rule's rest waits for a whole reply in the former ending
    // (the former way's is the other ending's to settle).
    if (anotherRule >= 0) {
        m_anewRuleRest = {0, anotherRule - now};
        m_anewRules = rules;
        m_anewRuleEnding = m_formerEnding;
    }
    return now;
}

// The samples of the reading, in the former ending by a rule other than the former one,
// that ends within a byte of count or before it (noise inside a reply of a board that
// gives a length makes it longer than its length means, however it counts) (the fewest;
// rules: a bit for each rule that does); -1: none.
int64_t CSerialSatelDevice::OtherRuleReading(size_t count, size_t length, unsigned& rules) const
{
    int64_t fewest = -1;
    for (LengthRule rule : {LengthRule::Own, LengthRule::Star, LengthRule::Samples}) {
        if (rule == m_formerRule) continue;
        const size_t end = LengthEnd(length, rule, m_formerEnding);
        const int64_t samples = WholeSamples(end, m_formerEnding);
        if (samples < 0 || end > count + 1) continue;
        fewest = fewest < 0 ? samples : std::min(fewest, samples);
        rules |= 1u << static_cast<unsigned>(rule);
    }
    return fewest;
}

// A whole reply whose length ends it in the former rule, or in one its other reading
// had, shows the rule: what the refused reply held more by it is said now. The rest
// outlives a set-up: replies read after it may still be the former way's, and a board
// set up another way shows neither rule. A rest of the fewer reading (no former rule)
// is settled by the first rule shown: another than those that read more says none.
void CSerialSatelDevice::SettleRuleRest(size_t length, size_t count, Ending ending)
{
    if (m_ruleRest[0] == 0 && m_ruleRest[1] == 0) return;
    const LengthRule rule = RuleFor(length, count, ending);
    // An empty reply of length 0 tells no rule.
    if (rule == LengthRule::Unknown || (length == 0 && WholeSamples(count, ending) == 0)) return;
    // Another ending than the one the rest was read in: the board ends otherwise.
    if (m_ruleRestEnding != Ending::Unknown && ending != m_ruleRestEnding) {
        m_ruleRest = {0, 0};
        return;
    }
    const bool former = rule == m_ruleRestFormer;
    const bool more = (m_ruleRestRules & (1u << static_cast<unsigned>(rule))) != 0;
    if (!former && !more && m_ruleRestFormer != LengthRule::Unknown) return;
    const int64_t lost = Bounded(former ? m_ruleRest[0] : more ? m_ruleRest[1] : 0);
    m_countedSince += lost;
    CountLost(lost);
    m_ruleRest = {0, 0};
}

void CSerialSatelDevice::StartRefuted(size_t count)
{
    m_refutedBytes = count;
    m_refutedBase = -1;
    m_refutedRest = 0;
    m_refutedHead = count >= kClosingSize ? SamplesByBytes(count, m_reply.data() + count - kClosingSize) : 0;
    m_refutedLength = count >= kHeaderSize - 1 && m_headerPlausible ? DecodeU16(m_reply.data() + 2) : 0;
    m_refutedSaysNone = count >= kHeaderSize - 1 && m_headerPlausible && m_refutedLength == 0;
    m_refutedGone = count > kHeaderSize && m_reply[4] == kSamples;
    m_refutedCloseAt = -1;
    const size_t kept = std::min(count, m_refutedLast.size());
    m_refutedLast.fill(0xFF);
    std::memcpy(m_refutedLast.data() + m_refutedLast.size() - kept, m_reply.data() + count - kept, kept);
}

// One more byte of a refused reply read on without a length: its ending, where the
// samples before it are whole, ends it; what follows is noise.
void CSerialSatelDevice::NoteRefutedByte(uint8_t byte)
{
    if (m_refutedBytes == 0) return;
    ++m_refutedBytes;
    ++m_refutedRest;
    std::rotate(m_refutedLast.begin(), m_refutedLast.begin() + 1, m_refutedLast.end());
    m_refutedLast.back() = byte;
    if (m_refutedBytes <= kHeaderSize) return;
    if (byte != kTerminator) {
        // Five zero bytes at whole samples, then another: a block whose '*' was changed.
        const size_t body = m_refutedBytes - kHeaderSize;
        if (m_ending != Ending::Lone && m_refutedBase < 0 && body % kSampleSize == 0 &&
            (m_refutedLength == 0 || RefutedReachedLength()) &&
            std::all_of(m_refutedLast.begin(), m_refutedLast.end() - 1,
                        [](uint8_t b) { return b == 0; }))
            EndRefuted(true);
        return;
    }
    // A reply taken back from its lone '*' came whole with its rest (a byte added,
    // doubled or lost inside): its own ending is the last '*' before the next request
    // (before the next header from a board that gives no length).
    if (m_refutedBase >= 0) {
        m_refutedStarRest = m_refutedRest;
        return;
    }
    // Nor does a '*' before the least its length can mean, a byte lost: a sample's byte.
    if (m_refutedLength > 0 && !RefutedReachedLength()) return;
    const size_t body = m_refutedBytes - kHeaderSize;
    const bool lone = body % kSampleSize == 1;
    const bool block = body % kSampleSize == 0 &&
                       std::all_of(m_refutedLast.begin(), m_refutedLast.end() - 1,
                                   [](uint8_t b) { return b == 0; });
    // A byte dropped, doubled or changed in a reply that also stalled leaves its block a
    // byte off whole samples, or a zero short: its bytes still round to its samples.
    const bool blockOff = (body % kSampleSize <= 1 || body % kSampleSize == kSampleSize - 1) &&
                          std::count(m_refutedLast.begin(), m_refutedLast.end() - 1, uint8_t{0}) >=
                              static_cast<std::ptrdiff_t>(kClosingSize - 2);
    const bool ends = m_ending == Ending::Lone    ? lone
                      : m_ending == Ending::Block ? block || blockOff
                                                  : lone || block || blockOff;
    // A board that gives no length sends nothing behind its lone '*' but the next header:
    // a sample's '*' a byte dropped or doubled moved may stand there, so the rest is read
    // to that header, what follows the first such '*' said as unsure (junk may follow).
    const bool toHeader = RestToHeader();
    if (ends && toHeader && m_refutedCloseAt < 0)
        m_refutedCloseAt = lone ? LoneSamples(m_refutedBytes)
                                : SamplesByBytes(m_refutedBytes, m_refutedLast.data());
    if (ends && !toHeader) EndRefuted(true);
}

// A reply closed by a lone '*' is taken, its samples held from the frames, until what
// follows shows that '*' was its own: a header. Anything else (a byte added inside the
// samples put a sample's '*' there, or noise follows at once) refutes it. No quiet
// tells: a loaded machine may hand the reply's last byte over any time later.
// Quiet since the reply for a quarter period (at most 5 ms) and the pause its line may
// take: the next request may go, its header confirms the reply (its last byte, late,
// would come before that header and refute it).
// The rest of a refuted one is read up to the next request: it goes once the line was
// quiet as long as a reply's byte may take (a loaded machine hands a reply over in pieces).
bool CSerialSatelDevice::LoneQuietAWhile()
{
    const bool restOpen = m_refutedBytes > 0 && m_refutedBase >= 0;
    if (!m_loneOpen && !restOpen) return true;
    if (Waiting() > 0) return false;
    const double quietUs = m_loneOpen ? std::min(m_period * 250.0, 5000.0) + m_unconfirmedGapUs
                                      : m_replyTimeoutMs * 1000.0;
    return ReadProgramClockUs() - m_lastByteUs >= quietUs;
}

// How long the line may pause within a reply: thrice the longest pause seen in this
// one (a slow line hands bytes over in bursts), never past the reply time-out.
double CSerialSatelDevice::LinePauseUs() const
{
    return std::min(3.0 * m_replyGapUs, m_replyTimeoutMs * 1000.0);
}

void CSerialSatelDevice::ConfirmLone()
{
    m_unconfirmed = 0;
    m_unconfirmedByLength = -1;
    m_loneOpen = false;
    m_loneAsked = false;
}

// Takes back up to count of the newest queued samples; the gaps they carried pass to the
// next sample queued. Returns how many were still queued.
size_t CSerialSatelDevice::DropNewestQueued(size_t count)
{
    const size_t back = std::min(count, m_queueCount);
    for (size_t i = 0; i < back; ++i) {
        --m_queueCount;
        const size_t at = (m_queueHead + m_queueCount) % m_queue.size();
        m_skippedBeforeNext += m_queueGaps[at][0];
        m_lostBeforeNext += m_queueGaps[at][1];
        m_unsureBeforeNext += m_queueGaps[at][2];
    }
    m_queuedTotal -= back;
    return back;
}

void CSerialSatelDevice::RefuteLone(bool damaged)
{
    if (damaged) m_damagedReplies.fetch_add(1);
    const size_t back = DropNewestQueued(m_unconfirmed);
    m_countedSince -= static_cast<int64_t>(back);
    m_lastWasAgain = false;
    // Its bytes were damaged: a reply damaged alike is no copy of it. One only left
    // unconfirmed by a lost line came as the board sent it: a copy of it brings nothing,
    // and its values stay the newest the board is known to hold (a still board's next
    // reply, alike, is fresh).
    if (back > 0 && damaged) {
        m_newest = m_newestBefore;
        m_hasNewest = m_hadNewestBefore;
    }
    if (damaged && m_unconfirmed > 0 && m_unconfirmedSeen < kSeen) m_seenSize[m_unconfirmedSeen] = 0;
    if (m_unconfirmedByLength >= 0) {
        const int64_t lost = Bounded(m_unconfirmedByLength);
        m_countedSince += lost;
        CountLost(lost);
    } else if (m_loneAsked && (!damaged || !EndsOnlyAtHeader(m_unconfirmedSaysNone))) {
        // The next request went: what follows may be noise before its reply, no rest
        // (but bytes that refuted a board's that gives no length: noise there could not
        // be told from its rest, held up on the line).
        const int64_t lost = Bounded(static_cast<int64_t>(back));
        m_countedSince += lost;
        CountLost(lost);
    } else {
        // Without a length: the samples taken back, and those of its rest (read up to
        // the next request: NoteRefutedByte).
        m_refutedBytes = kHeaderSize + back * kSampleSize + 1;
        m_refutedLast.fill(0xFF);
        m_refutedBase = static_cast<int64_t>(back);
        m_refutedLength = 0;
        m_refutedSaysNone = m_unconfirmedSaysNone;
        m_refutedRest = m_refutedStarRest = 0;
        m_refutedAsked = m_loneAsked;
        m_refutedAskedRest = 0;
        m_refutedCloseAt = -1;
    }
    m_unconfirmed = 0;
    m_unconfirmedByLength = -1;
    m_loneOpen = false;
    m_loneAsked = false;
}

// What follows an unconfirmed reply, by the deadline: a header confirms it, other bytes
// refute it, nothing for the whole wait confirms it. Pending: a frame fell due first.
CSerialSatelDevice::Reply CSerialSatelDevice::SettleLone(Clock::time_point yieldAt)
{
    uint8_t next[kHeaderSize];
    size_t got = 0;
    int read = 1;
    const bool yieldFirst = yieldAt < m_byteDeadline;
    while (got < kHeaderSize && (read = ReadByteBefore(&next[got], yieldFirst ? yieldAt : m_byteDeadline)) == 1) {
        ++got;
        if (next[0] != kHash || (got >= 2 && next[1] != kI)) break;
    }
    Unread(next, got);
    if (read == -3) return Reply::Closing;
    const bool header = got > 0 && next[0] == kHash && (got < 2 || next[1] == kI) &&
                        (got < kHeaderSize || IsKind(next[4]));
    if (got > 0 && !header) {
        RefuteLone();
    } else if (got == kHeaderSize) {
        ConfirmLone();
    } else if (read == 0 && yieldFirst && Clock::now() < m_byteDeadline) {
        return Reply::Pending;
    } else if (got > 0) {
        ConfirmLone();  // part of a header, then nothing: the next reads tell the rest
    }
    // Nothing in time: the request went unanswered, the reply waits for what follows.
    return Reply::Ack;
}

// Its way not learnt again yet (after a set-up), a header whose length says 0 with
// samples behind it is of a board that gives none (one that counts says more).
bool CSerialSatelDevice::EndsOnlyAtHeader(bool saysNone) const
{
    if (m_ending == Ending::Block) return false;
    return m_lengthRule == LengthRule::None || (m_lengthRule == LengthRule::Unknown && saysNone);
}

// The samples before a lone '*' that ends bytes of a reply (a byte off rounds to them).
int64_t CSerialSatelDevice::LoneSamples(size_t bytes)
{
    if (bytes <= kHeaderSize + 1) return 0;
    return static_cast<int64_t>((bytes - kHeaderSize - 1 + kSampleSize / 2) / kSampleSize);
}

bool CSerialSatelDevice::RefutedReachedLength() const
{
    return m_refutedBytes + 1 >= kHeaderSize - 1 + m_refutedLength;
}

void CSerialSatelDevice::RefutedWentWithLine()
{
    if (m_refutedBytes == 0 || m_refutedRest > 0 || m_refutedBase >= 0 || !m_refutedGone) return;
    // Counted as a reply the line takes away while it comes (a line that goes may first
    // fall quiet longer than a reply is awaited). Its bytes are still the last read.
    const size_t count = m_refutedBytes;
    m_refutedBytes = 0;
    CountGone(count);
}

void CSerialSatelDevice::EndRefuted(bool closed)
{
    // Bytes that followed hold the rest of its samples only where they close as the
    // board's replies do, or reach as far as its length (a byte lost inside leaves its
    // ending off its place); else they are noise before the next reply.
    int64_t byBytes = SamplesByBytes(m_refutedBytes, m_refutedLast.data());
    const int64_t reached = m_refutedLength > 0 && RefutedReachedLength()
                                ? ReadingsWithin(byBytes, m_refutedLength, Ending::Unknown).most
                                : -1;
    // A board that gives no length and ends with a lone '*' (or its ending is not known
    // yet): no noise can be told from its rest, so all that came up to the next header was
    // the reply, a byte off at most; what follows its first possible ending is unsure.
    const bool loneRest = !closed && m_refutedLength == 0 && m_refutedRest > 0 && RestToHeader();
    if (loneRest && m_ending == Ending::Lone) byBytes = LoneSamples(m_refutedBytes);
    // Five zero bytes last: a block whose '*' was lost (the next header follows).
    const bool starLost = !closed && m_ending != Ending::Lone && m_refutedBase < 0 &&
                          m_refutedRest > 0 &&
                          std::all_of(m_refutedLast.begin() + 1, m_refutedLast.end(),
                                      [](uint8_t b) { return b == 0; });
    int64_t samples = closed || loneRest || starLost || reached >= 0
                          ? FewestReadingKept(byBytes, m_refutedLength)
                          : NoMoreThanLength(m_refutedHead, m_refutedLength);
    int64_t unsure = 0;
    if (loneRest && m_refutedCloseAt >= 0) {
        unsure = std::max<int64_t>(samples - m_refutedCloseAt, 0);
        if (Bounded(samples) < samples) {
            samples = m_refutedCloseAt;
            unsure = 0;
        }
    }
    if (m_refutedBase >= 0) {
        const auto restOf = [](size_t bytes) {
            return static_cast<int64_t>((bytes + kSampleSize / 2) / kSampleSize);
        };
        const int64_t rest = restOf(m_refutedStarRest);
        // Its rest before the next request went is the reply's.
        const int64_t sure =
            m_refutedBase + (m_refutedAskedRest > 0 ? restOf(m_refutedAskedRest) : 0);
        samples = m_refutedBase + rest;
        // Asked past it, its rest and junk before the next reply look alike: more than
        // the board can have gathered is junk, else the rest is said as unsure.
        if (m_refutedAsked && Bounded(samples) < samples) samples = std::min(samples, sure);
        if (m_refutedAsked && samples > sure) unsure = samples - sure;
    }
    const int64_t lost = Bounded(samples);
    // Its rest came: it was a reply, not a header in noise.
    if (m_tookAhead && m_refutedRest > 0) m_tookAhead = false;
    if (m_tookAhead) {
        m_aheadLost += IsRunning() ? lost : 0;
        m_aheadUnsure += IsRunning() ? std::min(std::max<int64_t>(unsure, 0), lost) : 0;
        m_aheadCounted += lost;
    }
    // Less than a sample behind its header and none of its rest before the next one: a
    // header in noise, as RefuseStopped tells one where the board's rule is known. Its
    // count goes once the reply that follows is taken whole, which answers its request.
    // A claim on the request ahead (m_tookAhead) takes the count back already.
    const bool early = !closed && !m_tookAhead && m_refutedBase < 0 && m_refutedRest == 0 &&
                       m_refutedLength > 0 && m_refutedBytes < kHeaderSize + kSampleSize;
    m_refutedBytes = 0;
    m_refutedBase = -1;
    m_refutedAsked = false;
    const int64_t before = m_lostBeforeNext;
    m_countedSince += lost;
    CountLost(lost, unsure);
    if (!early) return;
    m_stoppedHeader = true;
    m_stoppedLost = m_lostBeforeNext - before;
    m_stoppedCounted = m_countedSince;
}

// Replies come in order: where no request is left, the request a stopped refusal took is
// that of the reply next after it, unless what that refusal counted lost has reached a
// frame already (the frames would show it twice). Any later one is a copy.
bool CSerialSatelDevice::AnswersAhead() const
{
    return m_tookAhead && (m_aheadLost == 0 || m_queuedTotal == m_aheadMark);
}

void CSerialSatelDevice::UseAhead()
{
    m_tookAhead = false;
    m_lostBeforeNext = std::max<int64_t>(m_lostBeforeNext - m_aheadLost, 0);
    m_unsureBeforeNext = std::max<int64_t>(m_unsureBeforeNext - m_aheadUnsure, 0);
    m_countedSince -= m_aheadCounted;
}

// Learnt from whole replies: the ending from the first, the length rule from two that
// agree (an empty reply of length 0 tells nothing).
void CSerialSatelDevice::LearnWay(size_t count, Ending ending, size_t length, int samples)
{
    if (m_ending == Ending::Unknown) m_ending = ending;
    if (m_lengthRule != LengthRule::Unknown || (samples <= 0 && length == 0)) return;
    const LengthRule rule = RuleFor(length, count, ending);
    if (rule == LengthRule::Unknown) {
        m_ruleVotes = 0;
    } else if (rule == m_ruleCandidate) {
        if (++m_ruleVotes >= 2) m_lengthRule = rule;
    } else {
        m_ruleCandidate = rule;
        m_ruleVotes = 1;
    }
}

// The last reply taken was a copy: its samples still queued go, what frames showed of
// it were repeats.
void CSerialSatelDevice::WithdrawAgain()
{
    const size_t queued = DropNewestQueued(m_againSamples);
    if (IsRunning()) m_repeatedFrames.fetch_add(static_cast<int64_t>(m_againSamples - queued));
    m_repeatedReplies.fetch_add(1);
    m_lastWasAgain = false;
}

CSerialSatelDevice::Reply CSerialSatelDevice::CloseSampleReply(size_t count, Ending ending)
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    const int samples = SamplesIn(count, ending);
    m_replyFill = 0;
    m_inGarbage = false;
    if (m_blockOffRest > 0 && ending == Ending::Lone) {
        const int64_t lost = Bounded(m_blockOffRest);
        m_countedSince += lost;
        CountLost(lost);
    }
    m_blockOffRest = 0;
    m_blockOffRun = 0;
    // Framed by a way a set-up forgot while it came, it tells nothing of the board's
    // way since.
    if (m_lengthEnd == 0 || m_lengthRule != LengthRule::Unknown)
        LearnWay(count, ending, length, samples);
    SettleRuleRest(length, count, ending);
    SettleGone(length, count, ending);
    SettleReadingRest(length, count, ending);
    // A length that ends it right there, in one of the ways a board counts, says its
    // samples as a learnt one does (before the way is learnt again): bytes behind it
    // are no rest of it.
    const LengthRule rule = RuleFor(length, count, ending);
    if (m_byLength < 0 && rule != LengthRule::Unknown && rule != LengthRule::None)
        m_byLength = samples;
    // A board that counts its sample bytes gives 0 for an empty reply, as one that gives
    // no length does for every reply: once a reply since its set-up showed that way, 0
    // says empty, and noise behind it holds none of its samples.
    const bool countsSamples =
        m_lengthRule == LengthRule::Samples ||
        (m_lengthRule == LengthRule::Unknown && m_ruleCandidate == LengthRule::Samples);
    if (m_byLength < 0 && length == 0 && samples == 0 && countsSamples) m_byLength = 0;
    // Before the way is learnt, a length no way fits the bytes, that one way reads as
    // fewer whole samples: a burst a sample's size came inside, the bytes no samples.
    if (m_lengthRule == LengthRule::Unknown && length > 0 && samples > 0 &&
        rule == LengthRule::Unknown) {
        for (int n = 0; n < samples; ++n) {
            const size_t fewer = count - static_cast<size_t>(samples - n) * kSampleSize;
            if (RuleFor(length, fewer, ending) != LengthRule::Unknown) return Refuse(count, n);
        }
    }
    m_replySamples = samples;
    m_replyLone = ending == Ending::Lone;
    // No request waits: the board answered more than it was asked. The same bytes as an
    // earlier reply: its samples are older than those taken. But values that are all
    // the newest taken, asked for, are a still board's fresh values, however many of
    // them a reply holds: only more replies than requests tell a copy of them.
    const bool seen = samples > 0 && IsCopy(m_reply.data(), count);
    const bool still = IsStill(count, ending);
    const bool copy = seen && !still;
    m_lastSeen = Remember(m_reply.data(), count);
    bool answers = !copy && (m_stoppedHeader || IsRequestWaiting());
    if (!answers && !copy && samples > 0 && AnswersAhead()) {
        // The request it answers went to the refused one before (TakeReply takes no other).
        m_stoppedHeader = true;
        m_stoppedLost = 0;
        m_stoppedCounted = 0;
        UseAhead();
        answers = true;
    }
    m_tookAhead = false;
    if (!answers && samples > 0 && !seen && m_lastWasAgain && m_queuedTotal == m_againMark) {
        // More replies than requests, and the last one taken repeated an earlier one and
        // held only the values of the one before, where this one repeats none: that one
        // was the copy (it came as a request was sent), this is the answer. (An empty
        // one may repeat any empty reply: it brings nothing.)
        WithdrawAgain();
        answers = true;
    }
    if (samples == 0) {
        // Empty replies alike: two in a row may be one and its copy, told by a reply
        // that follows with no request left.
        m_replyAgain = answers && m_lastTakenEmpty;
        return answers ? Reply::Samples : Reply::Repeat;
    }
    if (!answers) {
        m_stoppedHeader = false;
        m_repeatedReplies.fetch_add(1);
        m_replySamples = 0;
        return Reply::Repeat;
    }
    m_replyAgain = still && seen;
    m_newestBefore = m_newest;
    m_hadNewestBefore = m_hasNewest;
    const size_t newest = kHeaderSize + static_cast<size_t>(samples - 1) * kSampleSize;
    std::memcpy(m_newest.data(), m_reply.data() + newest, kSampleSize);
    m_hasNewest = true;
    return Reply::Samples;
}

// A reply with its length that stopped is counted lost at once. But one that stopped
// before a sample's worth of bytes followed its header, where a whole reply follows with
// none of its rest before it, was a header in noise that came as the board was held
// before its reply: nothing was lost, and that reply answers the request the header
// took. (A reply that lost a byte is a sample and more past its header.)
CSerialSatelDevice::Reply CSerialSatelDevice::RefuseStopped(size_t count)
{
    const int64_t before = m_lostBeforeNext;
    const bool early = count <= 2 * kHeaderSize && m_byLength > 0;
    const Reply reply = Refuse(count, RefusedAnew(count));
    m_stoppedHeader = early && !m_refusedCopy;
    m_stoppedLost = m_lostBeforeNext - before;
    m_stoppedCounted = m_countedSince;
    return reply;
}

void CSerialSatelDevice::TakeReply(bool late)
{
    if (m_stoppedHeader) {
        m_lostBeforeNext = std::max<int64_t>(m_lostBeforeNext - m_stoppedLost, 0);
        m_countedSince -= m_stoppedCounted;
        m_stoppedHeader = false;
    } else {
        NoteAnswered();
    }
    ++m_takenReplies;
    const bool initialising = m_initPending.load();
    // Late: it came after its time-out, or answers a request counted missed (a busy
    // board answers every request in order once back).
    if ((late || m_answeredMissed) && !initialising) m_lateReplies.fetch_add(1);
    for (int j = 0; j < m_replySamples; ++j) {
        double values[3];
        DecodeSample(m_reply.data() + kHeaderSize + static_cast<size_t>(j) * kSampleSize, values);
        QueueSample(values);
        ++m_takenSamples;
    }
    m_countedSince += m_replySamples;
    // An empty one too where no length says it is empty: a '*' added after its header
    // may have closed it.
    if (m_replyLone && (m_replySamples > 0 || m_byLength < 0)) {
        m_loneOpen = true;
        m_unconfirmed = static_cast<size_t>(m_replySamples);
        m_unconfirmedByLength = m_byLength;
        m_unconfirmedSaysNone = DecodeU16(m_reply.data() + 2) == 0;
        m_unconfirmedGapUs = LinePauseUs();
        m_loneAsked = false;
        m_unconfirmedSeen = m_lastSeen;
    }
    m_replyLone = false;
    m_lastWasAgain = m_replyAgain;
    m_lastTakenEmpty = m_replySamples == 0;
    m_againSamples = static_cast<size_t>(m_replySamples);
    m_againMark = m_queuedTotal;
    m_replyAgain = false;
}

void CSerialSatelDevice::CountLost(int64_t samples, int64_t unsure)
{
    if (samples <= 0 || !IsRunning()) return;
    m_lostBeforeNext += samples;
    m_unsureBeforeNext += std::min(std::max<int64_t>(unsure, 0), samples);
}
