// Pins the binary layout of the NPAPI records on LP64 (x86_64): the host and the module must
// agree on every size and offset, and a slip in these hand-written headers would otherwise only
// show as a crash inside a browser. This unit compiles to nothing.
#include <cstddef>

#include "npfunctions.h"

static_assert(sizeof(void*) == 8, "the module is built for LP64 (x86_64) only");

namespace {

// Offset of the n-th function entry of a table that starts with two 16-bit fields.
constexpr std::size_t entryOffset(std::size_t n) {
    return 8 + 8 * n;
}

}  // namespace

static_assert(sizeof(NPBool) == 1 && sizeof(NPError) == 2 && sizeof(NPReason) == 2);
static_assert(sizeof(NPIdentifier) == 8);

static_assert(sizeof(NPP_t) == 16);
static_assert(offsetof(NPP_t, pdata) == 0 && offsetof(NPP_t, ndata) == 8);

static_assert(sizeof(NPRect) == 8 && offsetof(NPRect, right) == 6);
static_assert(sizeof(NPSize) == 8);
static_assert(sizeof(NPByteRange) == 16 && offsetof(NPByteRange, next) == 8);
static_assert(sizeof(NPSavedData) == 16 && offsetof(NPSavedData, buf) == 8);

static_assert(sizeof(NPStream) == 48);
static_assert(offsetof(NPStream, url) == 16 && offsetof(NPStream, end) == 24 &&
              offsetof(NPStream, lastmodified) == 28 && offsetof(NPStream, notifyData) == 32 &&
              offsetof(NPStream, headers) == 40);

// No window-system field between clipRect and type on macOS.
static_assert(sizeof(NPWindow) == 40);
static_assert(offsetof(NPWindow, x) == 8 && offsetof(NPWindow, width) == 16 &&
              offsetof(NPWindow, clipRect) == 24 && offsetof(NPWindow, type) == 32);

static_assert(sizeof(NPFullPrint) == 16 && offsetof(NPFullPrint, platformPrint) == 8);
static_assert(sizeof(NPEmbedPrint) == 48 && offsetof(NPEmbedPrint, platformPrint) == 40);
static_assert(sizeof(NPPrint) == 56 && offsetof(NPPrint, print) == 8);

static_assert(sizeof(NP_CGContext) == 16);
static_assert(sizeof(NPAsyncSurface) == 32 && offsetof(NPAsyncSurface, format) == 12 &&
              offsetof(NPAsyncSurface, bitmap) == 16);

static_assert(sizeof(NPCocoaEventType) == 4 && NPCocoaEventDrawRect == 1 &&
              NPCocoaEventMouseDown == 2 && NPCocoaEventMouseMoved == 4 &&
              NPCocoaEventFocusChanged == 11 && NPCocoaEventTextInput == 14);
static_assert(sizeof(NPCocoaEvent) == 64);
static_assert(offsetof(NPCocoaEvent, version) == 4 && offsetof(NPCocoaEvent, data) == 8);
static_assert(offsetof(NPCocoaEvent, data.mouse.pluginX) == 16 &&
              offsetof(NPCocoaEvent, data.mouse.buttonNumber) == 32 &&
              offsetof(NPCocoaEvent, data.mouse.deltaZ) == 56);
static_assert(offsetof(NPCocoaEvent, data.key.characters) == 16 &&
              offsetof(NPCocoaEvent, data.key.isARepeat) == 32 &&
              offsetof(NPCocoaEvent, data.key.keyCode) == 34);
static_assert(offsetof(NPCocoaEvent, data.draw.context) == 8 &&
              offsetof(NPCocoaEvent, data.draw.height) == 40);

static_assert(sizeof(NPString) == 16 && offsetof(NPString, UTF8Length) == 8);
// 24 on LP64: the string member (pointer + 32-bit length) is 16 bytes and 8-aligned.
static_assert(sizeof(NPVariant) == 24 && offsetof(NPVariant, value) == 8);
static_assert(sizeof(NPVariantType) == 4 && NPVariantType_Object == 6);

static_assert(sizeof(NPObject) == 16 && offsetof(NPObject, referenceCount) == 8);
static_assert(sizeof(NPClass) == 104);
static_assert(offsetof(NPClass, allocate) == 8 && offsetof(NPClass, deallocate) == 16 &&
              offsetof(NPClass, enumerate) == 88 && offsetof(NPClass, construct) == 96);

static_assert(offsetof(NPPluginFuncs, version) == 2 && offsetof(NPPluginFuncs, newp) == 8);
static_assert(offsetof(NPPluginFuncs, urlnotify) == entryOffset(10) &&
              offsetof(NPPluginFuncs, javaClass) == entryOffset(11) &&
              offsetof(NPPluginFuncs, getvalue) == entryOffset(12) &&
              offsetof(NPPluginFuncs, setvalue) == entryOffset(13) &&
              offsetof(NPPluginFuncs, didComposite) == entryOffset(19));
static_assert(sizeof(NPPluginFuncs) == entryOffset(20));

static_assert(offsetof(NPNetscapeFuncs, version) == 2 && offsetof(NPNetscapeFuncs, geturl) == 8);
static_assert(offsetof(NPNetscapeFuncs, reloadplugins) == entryOffset(11) &&
              offsetof(NPNetscapeFuncs, getJavaEnv) == entryOffset(12) &&
              offsetof(NPNetscapeFuncs, getJavaPeer) == entryOffset(13) &&
              offsetof(NPNetscapeFuncs, geturlnotify) == entryOffset(14) &&
              offsetof(NPNetscapeFuncs, getvalue) == entryOffset(16) &&
              offsetof(NPNetscapeFuncs, getstringidentifiers) == entryOffset(22) &&
              offsetof(NPNetscapeFuncs, createobject) == entryOffset(27) &&
              offsetof(NPNetscapeFuncs, releasevariantvalue) == entryOffset(38));
static_assert(offsetof(NPNetscapeFuncs, setexception) == 320);
static_assert(offsetof(NPNetscapeFuncs, pushpopupsenabledstate) == entryOffset(40) &&
              offsetof(NPNetscapeFuncs, construct) == entryOffset(44) &&
              offsetof(NPNetscapeFuncs, urlredirectresponse) == entryOffset(54) &&
              offsetof(NPNetscapeFuncs, setcurrentasyncsurface) == entryOffset(57));
static_assert(sizeof(NPNetscapeFuncs) == 472);

static_assert(NPPVpluginNameString == 1 && NPPVpluginDescriptionString == 2 &&
              NPPVpluginWindowBool == 3 && NPPVpluginNeedsXEmbed == 14 &&
              NPPVpluginScriptableNPObject == 15 && NPPVpluginDrawingModel == 1000 &&
              NPPVpluginEventModel == 1001);
static_assert(NPNVsupportsCoreGraphicsBool == 2001 && NPNVsupportsCocoaBool == 3001);
static_assert(NPDrawingModelCoreGraphics == 1 && NPEventModelCocoa == 1);
static_assert(NPERR_INVALID_FUNCTABLE_ERROR == 3 && NPERR_INCOMPATIBLE_VERSION_ERROR == 8 &&
              NPERR_INVALID_PARAM == 9);
