// What a page asks of the wizard it sits in: the installation being tuned. The wizard
// implements it, so the pages need not know the wizard itself.
#pragma once

class Server;

class SelectedServerSource
{
public:
    // The selected list item's record, or the hand-chosen one; null when there is none.
    virtual Server* GetSelectedServer() = 0;

protected:
    ~SelectedServerSource() = default;
};
