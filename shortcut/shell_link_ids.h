// The shell link object's class and interfaces, and owners for them. The
// identifiers are the platform's published ones, kept here rather than
// taken from the uuid library, whose one object of every identifier Windows
// knows would add some 46 KB to the executable.
#pragma once

#include <windows.h>

#include <comdef.h>
#include <shlobj.h>

const CLSID kShellLinkClass = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kShellLinkW = {0x000214F9, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

_COM_SMARTPTR_TYPEDEF(IShellLinkA, kShellLinkA);
_COM_SMARTPTR_TYPEDEF(IShellLinkW, kShellLinkW);
_COM_SMARTPTR_TYPEDEF(IPersistFile, kPersistFile);
