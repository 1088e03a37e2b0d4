#include "plugin/Plugin.h"

#include "plugin/NPFunctions.h"
#include "foundation/Trace.h"

#include <cstring>
#include <new>

#define TRACE_MODULE "Plugin"

CPlugin::CPlugin(NPP pNPInstance)
    : m_pNPInstance(pNPInstance), m_hWnd(nullptr), m_pWindow(nullptr), m_pNPStream(nullptr),
      m_pScriptableObject(nullptr), m_bInitialized(0), m_String{} {}

CPlugin::~CPlugin() {
    if (m_pScriptableObject != nullptr)
        NPN_ReleaseObject(m_pScriptableObject);
}

void CPlugin::shut() {
    m_bInitialized = 0;
    m_hWnd = nullptr;
    m_pWindow = nullptr;
}

int16_t CPlugin::handleEvent(void*) {
    return 0;
}

void CPlugin::SetWindow(NPWindow* pWindow) {
    m_pWindow = pWindow;
}

NPObject* CPlugin::GetScriptableObject() {
    TraceHelper trace(TEXT("CPlugin::GetScriptableObject"));
    if (m_pScriptableObject == nullptr) {
        if (ScriptableObjectClass() == nullptr) {
            TRACE_FAILED("CPlugin::GetScriptableObject", "Object class", E_UNEXPECTED,
                         "NULL == ScriptableObjectClass()");
            return nullptr;
        }
        m_pScriptableObject = NPN_CreateObject(m_pNPInstance);
        if (m_pScriptableObject == nullptr) {
            TRACE_FAILED("CPlugin::GetScriptableObject", "NPN_CreateObject", E_OUTOFMEMORY,
                         "NULL == m_pScriptableObject");
            return nullptr;
        }
    }
    // One reference for the caller; the instance keeps its own until ~CPlugin.
    return NPN_RetainObject(m_pScriptableObject);
}

namespace {

CPlugin* PluginOf(NPP instance) {
    return instance == nullptr ? nullptr : static_cast<CPlugin*>(instance->pdata);
}

} // namespace

NPError NPP_New(NPMIMEType, NPP instance, uint16_t, int16_t, char*[], char*[], NPSavedData*) {
    TraceHelper trace(TEXT("NPP_New"));
    if (instance == nullptr) {
        TRACE_FAILED("NPP_New", "Check parameter", NPERR_INVALID_INSTANCE_ERROR,
                     "NULL == instance");
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    CPlugin* pPlugin = new (std::nothrow) CPlugin(instance);
    if (pPlugin == nullptr) {
        TRACE_FAILED("NPP_New", "New CPlugin", NPERR_OUT_OF_MEMORY_ERROR, "NULL == pPlugin");
        return NPERR_OUT_OF_MEMORY_ERROR;
    }
    instance->pdata = pPlugin;
    TRACE_OK("NPP_New", "New CPlugin");
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
    TraceHelper trace(TEXT("NPP_Destroy"));
    if (instance == nullptr) {
        TRACE_FAILED("NPP_Destroy", "Check parameter", NPERR_INVALID_INSTANCE_ERROR,
                     "NULL == instance");
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    try {
        if (CPlugin* pPlugin = PluginOf(instance)) {
            // Cleared first, so that nothing reached during the release below
            // can find a half-destroyed instance.
            instance->pdata = nullptr;
            pPlugin->shut();
            delete pPlugin;
        }
    } catch (...) {
        TRACE_FAILED("NPP_Destroy", "Delete CPlugin", E_UNEXPECTED, "exception");
    }
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* pNPWindow) {
    if (instance == nullptr)
        return NPERR_INVALID_INSTANCE_ERROR;
    if (CPlugin* pPlugin = PluginOf(instance))
        pPlugin->SetWindow(pNPWindow);
    return NPERR_NO_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream*, NPBool, uint16_t*) {
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream*, NPReason) {
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

NPError NPP_SetValue(NPP instance, NPNVariable, void*) {
    return instance == nullptr ? NPERR_INVALID_INSTANCE_ERROR : NPERR_NO_ERROR;
}

int32_t NPP_WriteReady(NPP instance, NPStream*) {
    if (instance == nullptr)
        return NPERR_INVALID_INSTANCE_ERROR;
    return 0x0FFFFFFF;
}

int32_t NPP_Write(NPP instance, NPStream*, int32_t, int32_t len, void*) {
    if (instance == nullptr)
        return NPERR_INVALID_INSTANCE_ERROR;
    // Everything is accepted and dropped.
    return len;
}

void NPP_StreamAsFile(NPP, NPStream*, const char*) {}

void NPP_Print(NPP, NPPrint*) {}

void NPP_URLNotify(NPP, const char*, NPReason, void*) {}

int16_t NPP_HandleEvent(NPP instance, void* event) {
    CPlugin* pPlugin = PluginOf(instance);
    return pPlugin == nullptr ? 0 : pPlugin->handleEvent(event);
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
    TraceHelper trace(TEXT("NPP_GetValue"));
    if (instance == nullptr) {
        TRACE_FAILED("NPP_GetValue", "Check parameter", NPERR_INVALID_INSTANCE_ERROR,
                     "NULL == instance");
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    if (value == nullptr) {
        TRACE_FAILED("NPP_GetValue", "Check parameter", NPERR_INVALID_PARAM, "NULL == value");
        return NPERR_INVALID_PARAM;
    }
    TraceValueNumber("variable", long(variable));
    try {
        switch (variable) {
        case NPPVpluginNameString:
            *static_cast<const char**>(value) = kPluginNameString;
            return NPERR_NO_ERROR;
        case NPPVpluginDescriptionString:
            *static_cast<const char**>(value) = kPluginDescriptionString;
            return NPERR_NO_ERROR;
        case NPPVpluginNeedsXEmbed:
            *static_cast<NPBool*>(value) = 1;
            return NPERR_NO_ERROR;
        case NPPVpluginScriptableNPObject: {
            CPlugin* pPlugin = PluginOf(instance);
            if (pPlugin == nullptr) {
                TRACE_FAILED("NPP_GetValue", "Instance data", NPERR_INVALID_INSTANCE_ERROR,
                             "NULL == instance->pdata");
                return NPERR_INVALID_INSTANCE_ERROR;
            }
            NPObject* pObject = pPlugin->GetScriptableObject();
            if (pObject == nullptr) {
                TRACE_FAILED("NPP_GetValue", "GetScriptableObject", NPERR_GENERIC_ERROR,
                             "NULL == pObject");
                return NPERR_GENERIC_ERROR;
            }
            *static_cast<NPObject**>(value) = pObject;
            return NPERR_NO_ERROR;
        }
        default:
            return NPERR_GENERIC_ERROR;
        }
    } catch (...) {
        TRACE_FAILED("NPP_GetValue", "Answer variable", NPERR_GENERIC_ERROR, "exception");
        return NPERR_GENERIC_ERROR;
    }
}
