// Find over a full output pane: 32 Mi characters of log-like lines, searched whole for every
// occurrence, as the find bar does on each key. Peers in the same run over the same text:
// std::search with the Boyer-Moore-Horspool searcher (exact case) and QStringView::indexOf
// (ignoring case), each counting every non-overlapping occurrence.
//
// FindBarFirstKey/<pattern>: the real window with that text in its pane and the find bar open,
// never searched before (a new frame each time); one key typed into the bar's field, timed from
// the key's delivery until the count label has painted the new count. Goal: under 100 ms for
// every pattern, the first search included. Runs on the offscreen platform unless a display is
// given (xvfb-run -a build/bench/bench-find).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringView>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "find-bar.h"
#include "main-frame.h"
#include "output-pane.h"
#include "qt-ui-thread.h"
#include "text-search.h"

namespace {

// The text of a full pane: numbered lines of a server's log, a warning every 97th line and an
// error every 1009th, in mixed case.
const std::u16string& PaneText() {
    static const std::u16string text = [] {
        std::u16string t;
        t.reserve(COutputPane::kDefaultLimit);
        const char* levels[] = {"INFO", "DEBUG", "INFO", "TRACE"};
        for (int i = 0; t.size() < static_cast<size_t>(COutputPane::kDefaultLimit); ++i) {
            std::string line = "2024-05-17 12:" + std::to_string(10 + i % 50) + ":" +
                               std::to_string(10 + i % 49) + " " + levels[i % 4] + " request " +
                               std::to_string(i) + " served in " + std::to_string(i % 300) + " ms";
            if (i % 97 == 0) {
                line += " Warning: slow disk";
            }
            if (i % 1009 == 0) {
                line += i % 2 ? " ERROR timeout" : " error: timeout";
            }
            line += "\r\n";
            t.append(line.begin(), line.end());
        }
        t.resize(COutputPane::kDefaultLimit);
        return t;
    }();
    return text;
}

const char16_t* Pattern(int n) {
    switch (n) {
        case 0:
            return u"timeout";  // rare
        case 1:
            return u"warning";  // every 97th line
        case 2:
            return u"request";  // every line
        default:
            return u"e";  // many per line
    }
}

void Report(benchmark::State& state, size_t nFound) {
    state.counters["matches"] = static_cast<double>(nFound);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(PaneText().size() * sizeof(char16_t)));
}

void BM_OursIgnoreCase(benchmark::State& state) {
    const std::u16string& text = PaneText();
    const std::u16string pattern = Pattern(static_cast<int>(state.range(0)));
    std::vector<int64_t> out;
    for (auto _ : state) {
        out.clear();
        CTextSearcher searcher(pattern.data(), static_cast<int>(pattern.size()), false);
        searcher.FindAll(text.data(), static_cast<int64_t>(text.size()), 0, out);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, out.size());
}

void BM_OursMatchCase(benchmark::State& state) {
    const std::u16string& text = PaneText();
    const std::u16string pattern = Pattern(static_cast<int>(state.range(0)));
    std::vector<int64_t> out;
    for (auto _ : state) {
        out.clear();
        CTextSearcher searcher(pattern.data(), static_cast<int>(pattern.size()), true);
        searcher.FindAll(text.data(), static_cast<int64_t>(text.size()), 0, out);
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, out.size());
}

// Peer, exact case: the standard library's Horspool searcher, every occurrence.
void BM_PeerStdHorspool(benchmark::State& state) {
    const std::u16string& text = PaneText();
    const std::u16string pattern = Pattern(static_cast<int>(state.range(0)));
    size_t nFound = 0;
    for (auto _ : state) {
        nFound = 0;
        const std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
        for (auto it = text.begin();;) {
            it = std::search(it, text.end(), searcher);
            if (it == text.end()) {
                break;
            }
            ++nFound;
            it += static_cast<ptrdiff_t>(pattern.size());
        }
        benchmark::DoNotOptimize(nFound);
    }
    Report(state, nFound);
}

// Peer, ignoring case: Qt's string search, every occurrence.
void BM_PeerQtIndexOfIgnoreCase(benchmark::State& state) {
    const std::u16string& text = PaneText();
    const std::u16string pattern = Pattern(static_cast<int>(state.range(0)));
    const QStringView view(text.data(), static_cast<qsizetype>(text.size()));
    const QStringView needle(pattern.data(), static_cast<qsizetype>(pattern.size()));
    size_t nFound = 0;
    for (auto _ : state) {
        nFound = 0;
        for (qsizetype i = view.indexOf(needle, 0, Qt::CaseInsensitive); i >= 0;
             i = view.indexOf(needle, i + needle.size(), Qt::CaseInsensitive)) {
            ++nFound;
        }
        benchmark::DoNotOptimize(nFound);
    }
    Report(state, nFound);
}

// The incremental update while output streams in: one 255-character chunk appended to a full
// text with a pattern set, as the pane does once per refresh tick at most.
void BM_OursUpdateAfterChunk(benchmark::State& state) {
    COutputText text;
    text.SetExpectedMax(COutputPane::kDefaultLimit);
    const std::u16string& all = PaneText();
    text.Append(all.data(), static_cast<int>(all.size()));
    CTextMatches matches;
    matches.SetPattern(u"warning", 7, false);
    matches.Update(text.Data(), text.GetLength(), text.GetDropped(), text.GetGeneration());
    size_t nChunk = 0;
    for (auto _ : state) {
        const char16_t* p = all.data() + (nChunk++ * 255) % (all.size() - 255);
        text.EraseFront(255);
        text.Append(p, 255);
        matches.Update(text.Data(), text.GetLength(), text.GetDropped(), text.GetGeneration());
    }
    state.counters["matches"] = static_cast<double>(matches.Count());
}

// Notes when a widget has painted after it was armed.
class CPaintWatch : public QObject {
public:
    bool m_bArmed = false;
    bool m_bPainted = false;

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override {
        if (m_bArmed && pEvent->type() == QEvent::Paint) {
            m_bPainted = true;
        }
        return QObject::eventFilter(pObject, pEvent);
    }
};

void FindBarFirstKey(benchmark::State& state) {
    const std::u16string& text = PaneText();
    const QChar key = QChar(Pattern(static_cast<int>(state.range(0)))[0]);
    state.SetLabel(QString(key).toStdString());
    int nCount = 0;
    QString strShown;
    for (auto _ : state) {
        state.PauseTiming();
        auto pFrame = std::make_unique<CMainFrame>();
        pFrame->resize(900, 600);
        pFrame->show();
        COutputPane& pane = *pFrame->View().OutputPane();
        pane.SetSel(0, 0);
        pane.ReplaceSel(text.data(), static_cast<int>(text.size()));
        pane.FlushLayout();
        CFindBar& bar = *pFrame->View().FindBar();
        bar.Open();
        QCoreApplication::processEvents();
        auto* pLabel = bar.findChild<QLabel*>(QStringLiteral("count"));
        CPaintWatch watch;
        pLabel->installEventFilter(&watch);
        QCoreApplication::processEvents();
        watch.m_bArmed = true;
        state.ResumeTiming();
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(key));
        QCoreApplication::sendEvent(bar.Field(), &press);
        QElapsedTimer guard;
        guard.start();
        while (!watch.m_bPainted && guard.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        state.PauseTiming();
        if (!watch.m_bPainted) {
            state.SkipWithError("the count was not painted");
            break;
        }
        nCount = pane.FindMatchCount();
        strShown = bar.CountText();
        pLabel->removeEventFilter(&watch);
        pFrame.reset();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.counters["matches"] = nCount;
    if (nCount == 0 || !strShown.endsWith(QString::number(nCount))) {
        state.SkipWithError("the count shown is not the pane's");
    }
}

}  // namespace

BENCHMARK(BM_OursIgnoreCase)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerQtIndexOfIgnoreCase)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursMatchCase)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerStdHorspool)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursUpdateAfterChunk)->Unit(benchmark::kMicrosecond);
BENCHMARK(FindBarFirstKey)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    benchmark::Initialize(&argc, argv);
    int nQtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(nQtArgc, qtArgv);
    CQtUiThread ui;
    OrvSetUiThread(&ui);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ui.Close();
    OrvSetUiThread(nullptr);
    return 0;
}
