// Takes the escape sequences out of a command's output and turns its SGR sequences (ESC [ ... m)
// into display attributes of the text, so that the pane and the saved file hold the text alone.
#pragma once

#include <vector>

#include "text-pane.h"

// A streaming filter over the UTF-16 text of one command's output. Its state (a sequence that has
// begun but not ended, the attributes in force) carries over from one call to the next, so a
// sequence split between two reads is understood as if it had come whole.
//
// What it does with the input:
//  - CSI sequences (ESC [ parameters intermediates final): an SGR sequence (final 'm', no private
//    marker) changes the attributes: 0 reset, 1 bold, 2 faint, 3 italic, 4 underline (4:0 off),
//    7 inverse, 9 strike, 21 underline, 22-29 their resets, 30-37 / 90-97 / 38;5;n / 38;2;r;g;b
//    (with ';' or ':') the foreground, 40-47 / 100-107 / 48;... the background, 39 and 49 the
//    defaults. Every other CSI sequence (cursor moves, erasing, modes) is dropped.
//  - OSC, DCS, SOS, PM and APC strings (ESC ] ... BEL or ESC \\, ESC P ... ESC \\ ...) are dropped,
//    up to kMaxString units: a string that runs on beyond that is given up and what follows shows
//    as text again, so that a stray ESC ] cannot swallow the rest of the output.
//  - Other escape sequences (ESC, intermediates 0x20-0x2F, a final 0x30-0x7E: character sets,
//    keypad modes, saving the cursor ...) are dropped. CAN and SUB cancel a sequence.
//  - A control character inside a CSI sequence takes effect as text, as a terminal does.
// Not thread-safe; one reader thread.
class CEscapeFilter {
public:
    static constexpr int kMaxString = 4096;

    // Filters n units at p into pOut (room for n units), appending a run for every stretch of
    // the output with attributes other than the default to runs (positions in pOut; a run that
    // continues the last one with the same attributes extends it). Returns the units written.
    int Filter(const char16_t* p, int n, char16_t* pOut, std::vector<CTextAttrRun>& runs);

    // The attributes that text written now would get.
    const CTextAttr& Current() const { return m_attr; }
    // Whether no sequence has begun: text without ESC now goes over unchanged, all of it with
    // Current() attributes.
    bool IsInText() const { return m_state == EState::Text; }

private:
    enum class EState { Text, Escape, EscapeIntermediate, Csi, String, StringEscape };

    void ApplySgr();
    // Reads an extended colour (38/48) from the parameters from index *pi on; false when they
    // do not make one.
    bool ReadExtendedColour(size_t* pi, uint32_t* pnColour) const;

    EState m_state = EState::Text;
    CTextAttr m_attr;
    bool m_bCsiPrivate = false;     // a marker (< = > ?) or an intermediate: not an SGR
    bool m_bCsiOverflow = false;    // too many parameters: ignored
    bool m_bBelEndsString = false;  // OSC ends with BEL as well as ST
    int m_nStringLen = 0;           // units of the string being skipped
    std::vector<int> m_params;      // parameters of the CSI sequence (-1: empty)
    std::vector<bool> m_subParam;   // whether each parameter followed a ':'
};
