#pragma once
// Files and folders opened relative to a folder handle held open, as the
// Windows half of NewFileBelow needs them (host_win32.cpp): NtCreateFile
// with a root directory and FILE_OPEN_REPARSE_POINT, so that no name is
// ever followed as a link or junction and no path is read twice. Windows
// only. Each returns INVALID_HANDLE_VALUE on failure, with the system's
// error code in *error.

#include <windows.h>

#include <string>

namespace ldr::payload {

// A name or path as the wide calls take it: UTF-8 when the text is UTF-8,
// else the program's code page (names from kits written in one).
std::wstring WideText(const std::string& text);

// UTF-8 of a wide text.
std::string Utf8Text(const std::wstring& text);

// A folder given by its path, opened to work below it: no delete sharing,
// so that it cannot be renamed away while it is held.
HANDLE OpenFolderPath(const std::string& path, DWORD* error);

// The folder `name` inside `parent`, made when missing. A name that is a
// link or junction (or, where the system follows links when opening them,
// one whose entry in `parent` is not the folder opened) is refused with
// ERROR_CANT_ACCESS_FILE; one that is not a folder with ERROR_DIRECTORY.
// `parent` is listed to tell: each handle is a parent once.
HANDLE OpenOrMakeFolderBelow(HANDLE parent, const std::wstring& name, bool make, DWORD* error);

// The folder `name` inside `parent`, as OpenOrMakeFolderBelow finds it
// (never made), opened to list it and then delete it.
HANDLE OpenFolderToRemoveBelow(HANDLE parent, const std::wstring& name, DWORD* error);

// A new file `name` inside `folder`, for writing and deleting; nothing
// that exists is opened (ERROR_FILE_EXISTS).
HANDLE CreateNewFileBelow(HANDLE folder, const std::wstring& name, DWORD* error);

// The entry `name` inside `folder` itself, a link not followed, opened to
// read its attributes and to delete it.
HANDLE OpenEntryBelow(HANDLE folder, const std::wstring& name, DWORD* error);

// Renames an open file to `name` inside `folder`, over an existing file.
bool RenameBelow(HANDLE file, HANDLE folder, const std::wstring& name);

// Deletes an open file (opened with DELETE access) once its handles close.
bool DeleteThroughHandle(HANDLE file);

}  // namespace ldr::payload
