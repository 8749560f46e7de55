// Two text models alike: text, every line start, the widest line, the last line's width and
// whether a tab is left.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "output-text.h"

inline void ExpectSameModel(const COutputText& a, const COutputText& b) {
    ASSERT_EQ(std::u16string(a.Data(), static_cast<size_t>(a.GetLength())),
              std::u16string(b.Data(), static_cast<size_t>(b.GetLength())));
    ASSERT_EQ(a.GetLineCount(), b.GetLineCount());
    for (int nLine = 0; nLine < a.GetLineCount(); ++nLine) {
        ASSERT_EQ(a.LineIndex(nLine), b.LineIndex(nLine)) << "line " << nLine;
    }
    ASSERT_EQ(a.GetMaxColumns(), b.GetMaxColumns());
    ASSERT_EQ(a.GetLastLineColumns(), b.GetLastLineColumns());
    ASSERT_EQ(a.IsTabFree(), b.IsTabFree());
}
