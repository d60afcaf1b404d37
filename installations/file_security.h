// A held copy of a file's access rights, taken from one file and given to another.
#pragma once

class FileSecurity
{
public:
    virtual ~FileSecurity() = default;
};
