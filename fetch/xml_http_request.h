// The platform's XML HTTP request object: its class, its interface and the
// smart pointer that releases it on every path.
#pragma once

#include <windows.h>
#include <comdef.h>
#include <msxml2.h>

// {ED8C108E-4349-11D2-91A4-00C04F7969E8}
extern const CLSID kXmlHttpRequestClass;
// {ED8C108D-4349-11D2-91A4-00C04F7969E8}; defined here rather than taken from
// an SDK library, whose names for it differ between toolchains.
extern const IID kXmlHttpRequestInterface;

_COM_SMARTPTR_TYPEDEF(IXMLHTTPRequest, kXmlHttpRequestInterface);
