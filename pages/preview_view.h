// The preview's window: filling a rich-text buffer with the coloured lines in one pass before
// any layout happens, and the read-only view that shows them.
#pragma once

#include "conf/preview.h"

#include <wx/colour.h>
#include <wx/font.h>

class wxRichTextAttr;
class wxRichTextBuffer;
class wxRichTextCtrl;
class wxWindow;

extern const wxColour previewNoteColour;    // green: note lines and block markers
extern const wxColour previewChangeBackground; // cream: everything the merge changed or added
extern const wxColour previewSettingColour; // red: changed and added settings

// Tab stops every 15 mm (in tenths of a millimetre) and, for the styled lines, the colours.
wxRichTextAttr PreviewAttributes(PreviewStyle style);

// Replaces the buffer's content by the lines, one paragraph each, without the per-insert
// work (undo, re-layout, range updates) that writing line by line costs.
void FillPreviewBuffer(wxRichTextBuffer& buffer, const std::vector<PreviewLine>& lines);

// "Lucida Console" 10 pt where the system has it, else the system's fixed-pitch font.
wxFont PreviewFont();

// The read-only view filling the preview dialog's client area.
wxRichTextCtrl* CreatePreviewView(wxWindow* dialog);

// Lays the whole text out at once (measuring without a round trip to the display per
// paragraph) and puts the insertion point at the top.
void LayOutPreview(wxRichTextCtrl& view);

// How often and how long the preview views laid out their whole text, for the bench and tests.
struct PreviewLayoutFigures
{
    int fullLayouts = 0;
    double seconds = 0;
};
extern PreviewLayoutFigures previewLayoutFigures;
