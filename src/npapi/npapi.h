/*
 * Netscape Plug-in API: basic types, records, constants and the NPN_ / NPP_ declarations,
 * written for this module from the published interface (API version 0.27).
 *
 * The module targets macOS on x86_64, so the platform-dependent parts take their macOS form on
 * every build platform: CoreGraphics drawing and Cocoa events are declared, the X11 window
 * system fields are absent, and QuickDraw and Carbon (unavailable to 64-bit plug-ins) are left
 * out. Apple types appear only as opaque pointers; no Apple header is needed.
 */
#ifndef NPAPI_H_
#define NPAPI_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/* Segment-loading decoration of 16-bit Windows; empty everywhere else. */
#ifndef NP_LOADDS
#define NP_LOADDS
#endif

#define NP_VERSION_MAJOR 0
#define NP_VERSION_MINOR 27

/* Masks that old hosts mixed into the XPCOM-era variable numbers. */
#define NP_ABI_GCC3_MASK 0x10000000
#define NP_ABI_MACHO_MASK 0x01000000
#if defined(__GNUC__) && (__GNUC__ >= 3)
#define _NP_ABI_MIXIN_FOR_GCC3 NP_ABI_GCC3_MASK
#else
#define _NP_ABI_MIXIN_FOR_GCC3 0
#endif
#define _NP_ABI_MIXIN_FOR_MACHO NP_ABI_MACHO_MASK
#define NP_ABI_MASK (_NP_ABI_MIXIN_FOR_GCC3 | _NP_ABI_MIXIN_FOR_MACHO)

/* Opaque Cocoa and CoreGraphics types. */
typedef struct NPNSString NPNSString;
typedef struct NPNSWindow NPNSWindow;
typedef struct NPNSMenu NPNSMenu;
typedef struct CGContext* CGContextRef;
typedef const struct CGPath* CGPathRef;
typedef struct _CGLContextObject* CGLContextObj;

/*----------------------------------------------------------------------------------------------
 * Basic types
 *--------------------------------------------------------------------------------------------*/

typedef unsigned char NPBool;
typedef int16_t NPError;
typedef int16_t NPReason;
typedef char* NPMIMEType;

/* The host's record of one plug-in instance. */
typedef struct _NPP {
    void* pdata; /* plug-in private data */
    void* ndata; /* host private data */
} NPP_t;

typedef NPP_t* NPP;

typedef struct _NPStream {
    void* pdata; /* plug-in private data */
    void* ndata; /* host private data */
    const char* url;
    uint32_t end;
    uint32_t lastmodified;
    void* notifyData;
    const char* headers; /* response headers, since minor version 17 */
} NPStream;

typedef struct _NPByteRange {
    int32_t offset; /* negative offset means from the end */
    uint32_t length;
    struct _NPByteRange* next;
} NPByteRange;

typedef struct _NPSavedData {
    int32_t len;
    void* buf;
} NPSavedData;

typedef struct _NPRect {
    uint16_t top;
    uint16_t left;
    uint16_t bottom;
    uint16_t right;
} NPRect;

typedef struct _NPSize {
    int32_t width;
    int32_t height;
} NPSize;

typedef enum { NPFocusNext = 0, NPFocusPrevious = 1 } NPFocusDirection;

/* Results of NPP_HandleEvent. */
#define kNPEventNotHandled 0
#define kNPEventHandled 1
#define kNPEventStartIME 2

typedef void* NPRegion;
typedef CGPathRef NPCGRegion;

typedef enum { NPImageFormatBGRA32 = 0x1, NPImageFormatBGRX32 = 0x2 } NPImageFormat;

typedef struct _NPAsyncSurface {
    uint32_t version;
    NPSize size;
    NPImageFormat format;
    union {
        struct {
            uint32_t stride;
            void* data;
        } bitmap;
    };
} NPAsyncSurface;

/*----------------------------------------------------------------------------------------------
 * Values of the variables the plug-in and the host ask each other for
 *--------------------------------------------------------------------------------------------*/

typedef enum {
    NPPVpluginNameString = 1,
    NPPVpluginDescriptionString,
    NPPVpluginWindowBool,
    NPPVpluginTransparentBool,
    NPPVjavaClass,
    NPPVpluginWindowSize,
    NPPVpluginTimerInterval,
    NPPVpluginScriptableInstance = (10 | NP_ABI_MASK),
    NPPVpluginScriptableIID = 11,
    NPPVjavascriptPushCallerBool = 12,
    NPPVpluginKeepLibraryInMemory = 13,
    NPPVpluginNeedsXEmbed = 14,
    NPPVpluginScriptableNPObject = 15,
    NPPVformValue = 16,
    NPPVpluginUrlRequestsDisplayedBool = 17,
    NPPVpluginWantsAllNetworkStreams = 18,
    NPPVpluginNativeAccessibleAtkPlugId = 19,
    NPPVpluginCancelSrcStream = 20,
    NPPVsupportsAdvancedKeyHandling = 21,
    NPPVpluginUsesDOMForCursorBool = 22,
    NPPVpluginDrawingModel = 1000,
    NPPVpluginEventModel = 1001,
    NPPVpluginCoreAnimationLayer = 1003
} NPPVariable;

typedef enum {
    NPNVxDisplay = 1,
    NPNVxtAppContext,
    NPNVnetscapeWindow,
    NPNVjavascriptEnabledBool,
    NPNVasdEnabledBool,
    NPNVisOfflineBool,
    NPNVserviceManager = (10 | NP_ABI_MASK),
    NPNVDOMElement = (11 | NP_ABI_MASK),
    NPNVDOMWindow = (12 | NP_ABI_MASK),
    NPNVToolkit = (13 | NP_ABI_MASK),
    NPNVSupportsXEmbedBool = 14,
    NPNVWindowNPObject = 15,
    NPNVPluginElementNPObject = 16,
    NPNVSupportsWindowless = 17,
    NPNVprivateModeBool = 18,
    NPNVsupportsAdvancedKeyHandling = 21,
    NPNVdocumentOrigin = 22,
    NPNVpluginDrawingModel = 1000,
    NPNVcontentsScaleFactor = 1001,
    NPNVsupportsCoreGraphicsBool = 2001,
    NPNVsupportsOpenGLBool = 2002,
    NPNVsupportsCoreAnimationBool = 2003,
    NPNVsupportsInvalidatingCoreAnimationBool = 2004,
    NPNVsupportsAsyncBitmapSurfaceBool = 2007,
    NPNVsupportsCocoaBool = 3001,
    NPNVsupportsUpdatedCocoaTextInputBool = 3002,
    NPNVsupportsCompositingCoreAnimationPluginsBool = 74656
} NPNVariable;

typedef enum { NPNURLVCookie = 501, NPNURLVProxy } NPNURLVariable;

/* Answers to NPNVToolkit. */
typedef enum { NPNVGtk12 = 1, NPNVGtk2 } NPNToolkitType;

typedef enum {
    NPDrawingModelCoreGraphics = 1,
    NPDrawingModelOpenGL = 2,
    NPDrawingModelCoreAnimation = 3,
    NPDrawingModelInvalidatingCoreAnimation = 4,
    NPDrawingModelAsyncBitmapSurface = 7
} NPDrawingModel;

typedef enum { NPEventModelCocoa = 1 } NPEventModel;

/*----------------------------------------------------------------------------------------------
 * Windows, printing and events
 *--------------------------------------------------------------------------------------------*/

typedef enum { NPWindowTypeWindow = 1, NPWindowTypeDrawable } NPWindowType;

typedef struct _NPWindow {
    void* window; /* NP_CGContext* under the CoreGraphics drawing model */
    int32_t x;    /* position of the top left corner relative to the page */
    int32_t y;
    uint32_t width; /* maximum window size */
    uint32_t height;
    NPRect clipRect; /* clipping rectangle in port coordinates */
    NPWindowType type;
} NPWindow;

typedef struct _NPImageExpose {
    char* data;
    int32_t stride;
    int32_t depth;
    int32_t x;
    int32_t y;
    uint32_t width;
    uint32_t height;
    NPSize dataSize;
    float translateX;
    float translateY;
    float scaleX;
    float scaleY;
} NPImageExpose;

typedef struct _NPFullPrint {
    NPBool pluginPrinted; /* set by the plug-in when it printed the page itself */
    NPBool printOne;      /* true when the host asks for one copy without a dialog */
    void* platformPrint;
} NPFullPrint;

typedef struct _NPEmbedPrint {
    NPWindow window;
    void* platformPrint;
} NPEmbedPrint;

typedef struct _NPPrint {
    uint16_t mode; /* NP_FULL or NP_EMBED */
    union {
        NPFullPrint fullPrint;
        NPEmbedPrint embedPrint;
    } print;
} NPPrint;

typedef NPNSMenu NPMenu;

typedef enum {
    NPCoordinateSpacePlugin = 1,
    NPCoordinateSpaceWindow,
    NPCoordinateSpaceFlippedWindow,
    NPCoordinateSpaceScreen,
    NPCoordinateSpaceFlippedScreen
} NPCoordinateSpace;

typedef struct NP_CGContext {
    CGContextRef context;
    void* window;
} NP_CGContext;

typedef struct NP_GLContext {
    CGLContextObj context;
    void* window;
} NP_GLContext;

typedef enum {
    NPCocoaEventDrawRect = 1,
    NPCocoaEventMouseDown,
    NPCocoaEventMouseUp,
    NPCocoaEventMouseMoved,
    NPCocoaEventMouseEntered,
    NPCocoaEventMouseExited,
    NPCocoaEventMouseDragged,
    NPCocoaEventKeyDown,
    NPCocoaEventKeyUp,
    NPCocoaEventFlagsChanged,
    NPCocoaEventFocusChanged,
    NPCocoaEventWindowFocusChanged,
    NPCocoaEventScrollWheel,
    NPCocoaEventTextInput
} NPCocoaEventType;

typedef struct _NPCocoaEvent {
    NPCocoaEventType type;
    uint32_t version;
    union {
        struct {
            uint32_t modifierFlags;
            double pluginX;
            double pluginY;
            int32_t buttonNumber;
            int32_t clickCount;
            double deltaX;
            double deltaY;
            double deltaZ;
        } mouse;
        struct {
            uint32_t modifierFlags;
            NPNSString* characters;
            NPNSString* charactersIgnoringModifiers;
            NPBool isARepeat;
            uint16_t keyCode;
        } key;
        struct {
            CGContextRef context;
            double x;
            double y;
            double width;
            double height;
        } draw;
        struct {
            NPBool hasFocus;
        } focus;
        struct {
            NPNSString* text;
        } text;
    } data;
} NPCocoaEvent;

/*----------------------------------------------------------------------------------------------
 * Constants
 *--------------------------------------------------------------------------------------------*/

/* Modes of NPP_New and NPPrint. */
#define NP_EMBED 1
#define NP_FULL 2

/* Stream types. */
#define NP_NORMAL 1
#define NP_SEEK 2
#define NP_ASFILE 3
#define NP_ASFILEONLY 4

#define NP_MAXREADY (((unsigned)(~0) << 1) >> 1)

/* Flags and ages of NPP_ClearSiteData. */
#define NP_CLEAR_ALL 0
#define NP_CLEAR_CACHE (1 << 0)
#define NP_CLEAR_MAX_AGE_ALL ((uint64_t)(-1))

/* Error codes. */
#define NPERR_BASE 0
#define NPERR_NO_ERROR (NPERR_BASE + 0)
#define NPERR_GENERIC_ERROR (NPERR_BASE + 1)
#define NPERR_INVALID_INSTANCE_ERROR (NPERR_BASE + 2)
#define NPERR_INVALID_FUNCTABLE_ERROR (NPERR_BASE + 3)
#define NPERR_MODULE_LOAD_FAILED_ERROR (NPERR_BASE + 4)
#define NPERR_OUT_OF_MEMORY_ERROR (NPERR_BASE + 5)
#define NPERR_INVALID_PLUGIN_ERROR (NPERR_BASE + 6)
#define NPERR_INVALID_PLUGIN_DIR_ERROR (NPERR_BASE + 7)
#define NPERR_INCOMPATIBLE_VERSION_ERROR (NPERR_BASE + 8)
#define NPERR_INVALID_PARAM (NPERR_BASE + 9)
#define NPERR_INVALID_URL (NPERR_BASE + 10)
#define NPERR_FILE_NOT_FOUND (NPERR_BASE + 11)
#define NPERR_NO_DATA (NPERR_BASE + 12)
#define NPERR_STREAM_NOT_SEEKABLE (NPERR_BASE + 13)
#define NPERR_TIME_RANGE_NOT_SUPPORTED (NPERR_BASE + 14)
#define NPERR_MALFORMED_SITE (NPERR_BASE + 15)

/* Reasons for ending a stream or a URL request. */
#define NPRES_BASE 0
#define NPRES_DONE (NPRES_BASE + 0)
#define NPRES_NETWORK_ERR (NPRES_BASE + 1)
#define NPRES_USER_BREAK (NPRES_BASE + 2)

/* Minor versions from which the host offers a feature. */
#define NPVERS_HAS_STREAMOUTPUT 8
#define NPVERS_HAS_NOTIFICATION 9
#define NPVERS_HAS_LIVECONNECT 9
#define NPVERS_68K_HAS_LIVECONNECT 11
#define NPVERS_HAS_WINDOWLESS 11
#define NPVERS_HAS_XPCONNECT_SCRIPTING 13
#define NPVERS_HAS_NPRUNTIME_SCRIPTING 14
#define NPVERS_HAS_FORM_VALUES 15
#define NPVERS_HAS_POPUPS_ENABLED_STATE 16
#define NPVERS_HAS_RESPONSE_HEADERS 17
#define NPVERS_HAS_NPOBJECT_ENUM 18
#define NPVERS_HAS_PLUGIN_THREAD_ASYNC_CALL 19
#define NPVERS_HAS_ALL_NETWORK_STREAMS 20
#define NPVERS_HAS_URL_AND_AUTH_INFO 21
#define NPVERS_HAS_PRIVATE_MODE 22
#define NPVERS_MACOSX_HAS_COCOA_EVENTS 23
#define NPVERS_HAS_ADVANCED_KEY_HANDLING 25
#define NPVERS_HAS_URL_REDIRECT_HANDLING 26
#define NPVERS_HAS_CLEAR_SITE_DATA 27

/*----------------------------------------------------------------------------------------------
 * Functions
 *--------------------------------------------------------------------------------------------*/

#ifdef __cplusplus
extern "C" {
#endif

/* NPP_ functions: provided by the plug-in, called by the host. */
NPError NP_LOADDS NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc,
                          char* argn[], char* argv[], NPSavedData* saved);
NPError NP_LOADDS NPP_Destroy(NPP instance, NPSavedData** save);
NPError NP_LOADDS NPP_SetWindow(NPP instance, NPWindow* window);
NPError NP_LOADDS NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable,
                                uint16_t* stype);
NPError NP_LOADDS NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
int32_t NP_LOADDS NPP_WriteReady(NPP instance, NPStream* stream);
int32_t NP_LOADDS NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len,
                            void* buffer);
void NP_LOADDS NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname);
void NP_LOADDS NPP_Print(NPP instance, NPPrint* platformPrint);
int16_t NP_LOADDS NPP_HandleEvent(NPP instance, void* event);
void NP_LOADDS NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData);
NPError NP_LOADDS NPP_GetValue(NPP instance, NPPVariable variable, void* value);
NPError NP_LOADDS NPP_SetValue(NPP instance, NPNVariable variable, void* value);
NPBool NP_LOADDS NPP_GotFocus(NPP instance, NPFocusDirection direction);
void NP_LOADDS NPP_LostFocus(NPP instance);
void NP_LOADDS NPP_URLRedirectNotify(NPP instance, const char* url, int32_t status,
                                     void* notifyData);
NPError NP_LOADDS NPP_ClearSiteData(const char* site, uint64_t flags, uint64_t maxAge);
char** NP_LOADDS NPP_GetSitesWithData(void);
void NP_LOADDS NPP_DidComposite(NPP instance);

/* NPN_ functions: provided by the host, called by the plug-in. */
void NP_LOADDS NPN_Version(int* plugin_major, int* plugin_minor, int* netscape_major,
                           int* netscape_minor);
NPError NP_LOADDS NPN_GetURLNotify(NPP instance, const char* url, const char* target,
                                   void* notifyData);
NPError NP_LOADDS NPN_GetURL(NPP instance, const char* url, const char* target);
NPError NP_LOADDS NPN_PostURLNotify(NPP instance, const char* url, const char* target, uint32_t len,
                                    const char* buf, NPBool file, void* notifyData);
NPError NP_LOADDS NPN_PostURL(NPP instance, const char* url, const char* target, uint32_t len,
                              const char* buf, NPBool file);
NPError NP_LOADDS NPN_RequestRead(NPStream* stream, NPByteRange* rangeList);
NPError NP_LOADDS NPN_NewStream(NPP instance, NPMIMEType type, const char* target,
                                NPStream** stream);
int32_t NP_LOADDS NPN_Write(NPP instance, NPStream* stream, int32_t len, void* buffer);
NPError NP_LOADDS NPN_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
void NP_LOADDS NPN_Status(NPP instance, const char* message);
const char* NP_LOADDS NPN_UserAgent(NPP instance);
void* NP_LOADDS NPN_MemAlloc(uint32_t size);
void NP_LOADDS NPN_MemFree(void* ptr);
uint32_t NP_LOADDS NPN_MemFlush(uint32_t size);
void NP_LOADDS NPN_ReloadPlugins(NPBool reloadPages);
NPError NP_LOADDS NPN_GetValue(NPP instance, NPNVariable variable, void* value);
NPError NP_LOADDS NPN_SetValue(NPP instance, NPPVariable variable, void* value);
void NP_LOADDS NPN_InvalidateRect(NPP instance, NPRect* invalidRect);
void NP_LOADDS NPN_InvalidateRegion(NPP instance, NPRegion invalidRegion);
void NP_LOADDS NPN_ForceRedraw(NPP instance);
void NP_LOADDS NPN_PushPopupsEnabledState(NPP instance, NPBool enabled);
void NP_LOADDS NPN_PopPopupsEnabledState(NPP instance);
void NP_LOADDS NPN_PluginThreadAsyncCall(NPP instance, void (*func)(void*), void* userData);
NPError NP_LOADDS NPN_GetValueForURL(NPP instance, NPNURLVariable variable, const char* url,
                                     char** value, uint32_t* len);
NPError NP_LOADDS NPN_SetValueForURL(NPP instance, NPNURLVariable variable, const char* url,
                                     const char* value, uint32_t len);
NPError NP_LOADDS NPN_GetAuthenticationInfo(NPP instance, const char* protocol, const char* host,
                                            int32_t port, const char* scheme, const char* realm,
                                            char** username, uint32_t* ulen, char** password,
                                            uint32_t* plen);
uint32_t NP_LOADDS NPN_ScheduleTimer(NPP instance, uint32_t interval, NPBool repeat,
                                     void (*timerFunc)(NPP npp, uint32_t timerID));
void NP_LOADDS NPN_UnscheduleTimer(NPP instance, uint32_t timerID);
NPError NP_LOADDS NPN_PopUpContextMenu(NPP instance, NPMenu* menu);
NPBool NP_LOADDS NPN_ConvertPoint(NPP instance, double sourceX, double sourceY,
                                  NPCoordinateSpace sourceSpace, double* destX, double* destY,
                                  NPCoordinateSpace destSpace);
NPBool NP_LOADDS NPN_HandleEvent(NPP instance, void* event, NPBool handled);
NPBool NP_LOADDS NPN_UnfocusInstance(NPP instance, NPFocusDirection direction);
void NP_LOADDS NPN_URLRedirectResponse(NPP instance, void* notifyData, NPBool allow);
NPError NP_LOADDS NPN_InitAsyncSurface(NPP instance, NPSize* size, NPImageFormat format,
                                       void* initData, NPAsyncSurface* surface);
NPError NP_LOADDS NPN_FinalizeAsyncSurface(NPP instance, NPAsyncSurface* surface);
void NP_LOADDS NPN_SetCurrentAsyncSurface(NPP instance, NPAsyncSurface* surface, NPRect* changed);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* NPAPI_H_ */
