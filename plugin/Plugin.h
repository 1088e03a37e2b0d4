// The plug-in instance: one CPlugin per embedding element, created in NPP_New
// and kept in the instance's pdata until NPP_Destroy; and the instance
// callbacks the browser calls through the plug-in table.
#pragma once
#include "plugin/npapi/NPApi.h"

#include "foundation/Types.h"

// Identity the browser reads (NPP_GetValue, and NP_GetValue on Unix).
constexpr const char* kPluginNameString = "NPRuntimeTest";
constexpr const char* kPluginDescriptionString = "NPRuntime scriptability API test plugin";
constexpr const char* kPluginMIMEDescription =
    "application/npOrvane:*:npOrvane certificate utilities";

class CPlugin {
public:
    // CPlugin: stores the instance and clears everything else.
    explicit CPlugin(NPP pNPInstance);
    // ~CPlugin: releases the instance's reference to its scriptable object.
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    // shut: clears the initialised flag and forgets the window.
    void shut();
    // handleEvent: the plug-in draws nothing and takes no events; returns 0.
    int16_t handleEvent(void* pEvent);
    // GetScriptableObject: creates the instance's object on first use and hands
    // out a new reference to it (the caller releases it), or null when it
    // cannot be created.
    NPObject* GetScriptableObject();
    // SetWindow: remembers the window the browser gave.
    void SetWindow(NPWindow* pWindow);

private:
    NPP m_pNPInstance;
    HWND m_hWnd;
    NPWindow* m_pWindow;
    NPStream* m_pNPStream;
    NPObject* m_pScriptableObject;
    NPBool m_bInitialized;
    char m_String[128];
};

// Instance callbacks (filled into the plug-in table).
NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[],
                char* argv[], NPSavedData* saved);
NPError NPP_Destroy(NPP instance, NPSavedData** save);
NPError NPP_SetWindow(NPP instance, NPWindow* pNPWindow);
NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable,
                      uint16_t* stype);
NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
int32_t NPP_WriteReady(NPP instance, NPStream* stream);
int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer);
void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname);
void NPP_Print(NPP instance, NPPrint* printInfo);
int16_t NPP_HandleEvent(NPP instance, void* event);
void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData);
NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value);
NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value);
