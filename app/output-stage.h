// Output on its way from a reader thread to a pane: the chunks a reader has handed over and the
// pane's owner has not inserted yet, in order. The reader never waits for the owner to insert a
// chunk, only for room once much is waiting; the owner takes everything waiting in one step and
// inserts it as one batch, so that a flood of small chunks costs the owner one wake-up per batch
// instead of one per chunk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "text-pane.h"

// A batch of chunks taken from a stage: their texts (each followed by a NUL), runs, tags and line
// indexes.
class COutputBatch {
public:
    bool IsEmpty() const { return m_chunks.empty(); }
    size_t ChunkCount() const { return m_chunks.size(); }
    // Units of text the batch holds (tags included, NULs not).
    size_t Units() const { return m_nUnits; }
    // The chunk at nIndex, pointing into the batch; valid until the batch changes.
    CTextPaneOutput Chunk(size_t nIndex) const;
    // Appends a copy of the chunk.
    void Add(const CTextPaneOutput& chunk);
    // Appends the chunk by taking over the buffers it is in (chunk.pBuffers), which get the empty
    // buffers of an earlier batch in exchange; copies it (Add) when it is not laid out in them as
    // CTextPaneOutput describes, or has runs or a tag.
    void Adopt(const CTextPaneOutput& chunk);
    // Empties the batch, keeping its memory for the next one.
    void Clear();
    void Swap(COutputBatch& other) noexcept;

private:
    struct CEntry {
        size_t nText;  // offset of the text in m_text
        int nLength;
        size_t nRun;  // first run in m_runs
        int nRuns;
        size_t nTag;           // offset of the tag in m_text, or npos for none
        size_t nStart;         // first line start in m_starts
        size_t nWidest;        // first line width in m_widest
        CTextLineIndex lines;  // the counts and columns; its pointers are not kept
        size_t nPiece;         // first piece length in m_pieces
        int nPieces;
        size_t nSlot;  // kOwn: in the batch's own buffers above; else those of m_slots[nSlot]
    };
    static constexpr size_t kOwn = static_cast<size_t>(-1);
    std::vector<char16_t> m_text;
    std::vector<CTextAttrRun> m_runs;
    std::vector<uint32_t> m_starts;
    std::vector<CTextLineWidth> m_widest;
    std::vector<int> m_pieces;
    std::vector<CEntry> m_chunks;
    // Buffers taken over by Adopt, the first m_nSlots in use; the others wait, emptied, to be
    // given in exchange.
    std::vector<COutputBuffers> m_slots;
    size_t m_nSlots = 0;
    size_t m_nUnits = 0;
};

class COutputStage {
public:
    // Units waiting at most before Put holds its caller back. At the speed of a pipe that is a
    // few milliseconds of output: enough to keep the reader busy while the owner inserts the last
    // batch, little enough that one batch never stalls the owner's event loop.
    static constexpr size_t kDefaultMaxUnits = 256 * 1024;

    // wake is called when a chunk arrives and the owner has asked to be woken (see TakeOrArm),
    // from the thread that put it, with no lock of the stage held. The owner starts armed.
    explicit COutputStage(std::function<void()> wake, size_t nMaxUnits = kDefaultMaxUnits);
    COutputStage(const COutputStage&) = delete;
    COutputStage& operator=(const COutputStage&) = delete;

    // Queues the chunk behind the ones waiting: a copy, or its buffers (COutputBatch::Adopt). Waits
    // first while more than the maximum is waiting, until the owner has taken it or the stage is
    // closed; before such a wait the owner is woken even when it did not ask to be, so that it does
    // not sit out its own timer while the reader stands still. False, queuing nothing, once the
    // stage is closed. Any thread but the owner's: the owner inserts its own output directly, after
    // it has taken what waits.
    bool Put(const CTextPaneOutput& chunk);
    // Owner: moves everything waiting into batch (which is emptied first) and returns true; when
    // nothing waits, arms the wake-up instead and returns false. While disarmed, chunks arrive
    // without waking the owner, which is then expected to look again soon (a timer of its own).
    bool TakeOrArm(COutputBatch& batch);
    // Whether chunks are waiting, and how many units; never block. Hints.
    bool HasWaiting() const { return WaitingUnits() > 0; }
    size_t WaitingUnits() const { return m_nWaiting.load(std::memory_order_acquire); }
    size_t MaxUnits() const { return m_nMaxUnits; }
    // Drops what waits and refuses every later Put; a Put waiting for room returns false. Any
    // thread; repeated calls do nothing.
    void Close();
    bool IsClosed() const;

private:
    const std::function<void()> m_wake;
    const size_t m_nMaxUnits;
    mutable std::mutex m_lock;
    std::condition_variable m_room;  // the owner took the waiting chunks, or the stage closed
    COutputBatch m_waiting;
    std::atomic<size_t> m_nWaiting{0};  // units in m_waiting
    bool m_bArmed = true;
    bool m_bClosed = false;
};
