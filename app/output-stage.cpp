#include "output-stage.h"

#include <string>
#include <utility>

namespace {
constexpr size_t kNoTag = static_cast<size_t>(-1);
}  // namespace

CTextPaneOutput COutputBatch::Chunk(size_t nIndex) const {
    const CEntry& entry = m_chunks[nIndex];
    CTextPaneOutput chunk;
    chunk.nText = entry.nLength;
    chunk.pRuns = entry.nRuns > 0 ? m_runs.data() + entry.nRun : nullptr;
    chunk.nRuns = entry.nRuns;
    chunk.lines = entry.lines;
    chunk.nPieces = entry.nPieces;
    if (entry.nSlot != kOwn) {
        const COutputBuffers& slot = m_slots[entry.nSlot];
        chunk.pText = slot.text.data();
        if (entry.lines.bValid) {
            chunk.lines.pStarts = slot.starts.data();
            chunk.lines.pWidest = slot.widest.data();
        }
        chunk.pPieces = entry.nPieces > 0 ? slot.pieces.data() : nullptr;
        return chunk;
    }
    chunk.pText = m_text.data() + entry.nText;
    chunk.pszLineTag = entry.nTag == kNoTag ? nullptr : m_text.data() + entry.nTag;
    if (entry.lines.bValid) {
        chunk.lines.pStarts = m_starts.data() + entry.nStart;
        chunk.lines.pWidest = m_widest.data() + entry.nWidest;
    }
    chunk.pPieces = entry.nPieces > 0 ? m_pieces.data() + entry.nPiece : nullptr;
    return chunk;
}

void COutputBatch::Adopt(const CTextPaneOutput& chunk) {
    COutputBuffers* pBuffers = chunk.pBuffers;
    const auto nText = static_cast<size_t>(chunk.nText);
    const bool bLaidOut =
        pBuffers != nullptr && chunk.pText == pBuffers->text.data() &&
        pBuffers->text.size() > nText && chunk.nRuns == 0 && chunk.pszLineTag == nullptr &&
        (!chunk.lines.bValid ||
         (chunk.lines.pStarts == pBuffers->starts.data() &&
          static_cast<size_t>(chunk.lines.nLines) <= pBuffers->starts.size() &&
          chunk.lines.pWidest == pBuffers->widest.data() &&
          static_cast<size_t>(chunk.lines.nWidest) <= pBuffers->widest.size())) &&
        (chunk.nPieces == 0 || (chunk.pPieces == pBuffers->pieces.data() &&
                                static_cast<size_t>(chunk.nPieces) <= pBuffers->pieces.size()));
    if (!bLaidOut) {
        Add(chunk);
        return;
    }
    if (m_nSlots == m_slots.size()) {
        m_slots.emplace_back();
    }
    m_slots[m_nSlots].Swap(*pBuffers);
    m_slots[m_nSlots].text[nText] = 0;
    CEntry entry{};
    entry.nLength = chunk.nText;
    entry.nTag = kNoTag;
    entry.lines = chunk.lines;
    entry.lines.pStarts = nullptr;
    entry.lines.pWidest = nullptr;
    entry.nPieces = chunk.nPieces;
    entry.nSlot = m_nSlots++;
    m_chunks.push_back(entry);
    m_nUnits += nText;
}

void COutputBatch::Add(const CTextPaneOutput& chunk) {
    CEntry entry;
    entry.nSlot = kOwn;
    entry.nTag = kNoTag;
    if (chunk.pszLineTag != nullptr) {
        const size_t nTag = std::char_traits<char16_t>::length(chunk.pszLineTag);
        entry.nTag = m_text.size();
        m_text.insert(m_text.end(), chunk.pszLineTag, chunk.pszLineTag + nTag + 1);
        m_nUnits += nTag;
    }
    entry.nText = m_text.size();
    entry.nLength = chunk.nText;
    m_text.insert(m_text.end(), chunk.pText, chunk.pText + chunk.nText);
    m_text.push_back(0);
    entry.nRun = m_runs.size();
    entry.nRuns = chunk.nRuns;
    if (chunk.nRuns > 0) {
        m_runs.insert(m_runs.end(), chunk.pRuns, chunk.pRuns + chunk.nRuns);
    }
    entry.nStart = m_starts.size();
    entry.nWidest = m_widest.size();
    entry.lines = chunk.lines;
    entry.lines.pStarts = nullptr;
    entry.lines.pWidest = nullptr;
    if (chunk.lines.bValid) {
        m_starts.insert(m_starts.end(), chunk.lines.pStarts,
                        chunk.lines.pStarts + chunk.lines.nLines);
        m_widest.insert(m_widest.end(), chunk.lines.pWidest,
                        chunk.lines.pWidest + chunk.lines.nWidest);
    }
    entry.nPiece = m_pieces.size();
    entry.nPieces = chunk.nPieces;
    if (chunk.nPieces > 0) {
        m_pieces.insert(m_pieces.end(), chunk.pPieces, chunk.pPieces + chunk.nPieces);
    }
    m_chunks.push_back(entry);
    m_nUnits += static_cast<size_t>(chunk.nText);
}

void COutputBatch::Clear() {
    m_text.clear();
    m_runs.clear();
    m_chunks.clear();
    m_starts.clear();
    m_widest.clear();
    m_pieces.clear();
    m_nSlots = 0;
    m_nUnits = 0;
}

void COutputBatch::Swap(COutputBatch& other) noexcept {
    m_text.swap(other.m_text);
    m_runs.swap(other.m_runs);
    m_chunks.swap(other.m_chunks);
    m_starts.swap(other.m_starts);
    m_widest.swap(other.m_widest);
    m_pieces.swap(other.m_pieces);
    m_slots.swap(other.m_slots);
    std::swap(m_nSlots, other.m_nSlots);
    std::swap(m_nUnits, other.m_nUnits);
}

COutputStage::COutputStage(std::function<void()> wake, size_t nMaxUnits)
    : m_wake(std::move(wake)), m_nMaxUnits(nMaxUnits) {}

bool COutputStage::Put(const CTextPaneOutput& chunk) {
    bool bWake = false;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_bClosed && m_waiting.Units() > m_nMaxUnits) {
            // the owner may be sitting out its timer: a full stage wakes it now
            lock.unlock();
            if (m_wake) {
                m_wake();
            }
            lock.lock();
            m_room.wait(lock, [&] { return m_bClosed || m_waiting.Units() <= m_nMaxUnits; });
        }
        if (m_bClosed) {
            return false;
        }
        m_waiting.Adopt(chunk);
        m_nWaiting.store(m_waiting.Units(), std::memory_order_release);
        bWake = m_bArmed;
        m_bArmed = false;
    }
    if (bWake && m_wake) {
        m_wake();
    }
    return true;
}

bool COutputStage::TakeOrArm(COutputBatch& batch) {
    batch.Clear();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_waiting.IsEmpty()) {
            m_bArmed = true;
            return false;
        }
        // the batch's emptied buffers become the next waiting ones: no allocation in a flood
        m_waiting.Swap(batch);
        m_nWaiting.store(0, std::memory_order_release);
    }
    m_room.notify_all();
    return true;
}

void COutputStage::Close() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bClosed) {
            return;
        }
        m_bClosed = true;
        m_waiting.Clear();
        m_nWaiting.store(0, std::memory_order_release);
    }
    m_room.notify_all();
}

bool COutputStage::IsClosed() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bClosed;
}
