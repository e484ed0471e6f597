#pragma once

#include <wx/string.h>

#include <cstdint>
#include <memory>
#include <vector>

// Texts held in chunks that copies of a list share: a copy costs one pointer per chunk,
// and changing one text copies its chunk only, so that naming one channel of thousands
// costs about what one name costs. A chunk is never changed once a list holds it:
// copies may be read by any thread. push_back builds a list no other list shares yet.
class CTextList {
public:
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const wxString& operator[](size_t i) const { return (*m_chunks[i / kChunk])[i % kChunk]; }
    void reserve(size_t count) { m_chunks.reserve((count + kChunk - 1) / kChunk); }
    void push_back(const wxString& text)
    {
        if (m_size % kChunk == 0) {
            m_chunks.push_back(std::make_shared<Chunk>());
            m_chunks.back()->reserve(kChunk);
        }
        m_chunks.back()->push_back(text);
        ++m_size;
    }
    // Entry i becomes text in a chunk of this list's own.
    void Set(size_t i, const wxString& text)
    {
        auto chunk = std::make_shared<Chunk>(*m_chunks[i / kChunk]);
        (*chunk)[i % kChunk] = text;
        m_chunks[i / kChunk] = std::move(chunk);
    }

private:
    static constexpr size_t kChunk = 64;
    using Chunk = std::vector<wxString>;
    std::vector<std::shared_ptr<Chunk>> m_chunks;
    size_t m_size = 0;
};

// A device's visible channels as one shape: the channel of each entry with its name and
// unit, and a number that changes whenever the list of channels does, so that a reader
// can tell the rows of one shape from the next. Made whole, then only read: any thread
// may hold one.
struct CVisibleChannels {
    std::vector<int> channels;
    CTextList names;
    CTextList units;
    uint64_t shape = 0;
};
using VisibleChannelsPtr = std::shared_ptr<const CVisibleChannels>;

// The name of entry, then its unit in brackets and afterUnit when it has one; empty past
// the list.
inline wxString VisibleChannelLabel(const CVisibleChannels& visible, size_t entry,
                                    const wxString& afterUnit)
{
    if (entry >= visible.names.size() || entry >= visible.units.size()) return wxString();
    wxString label = visible.names[entry];
    if (!visible.units[entry].empty()) label += " (" + visible.units[entry] + ")" + afterUnit;
    return label;
}
