// INetFwPolicy2 from plain functions: one rule added or removed, each COM object released.
#include "server/windows/firewall.h"

#include <stdio.h>

#include <windows.h>
#include <initguid.h>
#include <netfw.h>

const char FIREWALL_RULE_NAME[] = "Vantrel Server";
static const char RULE_GROUP[] = "Vantrel";
static const char RULE_DESCRIPTION[] = "Vantrel のチャットサーバーへの接続を受け付けます。";

// The literals are Shift-JIS whatever the system's code page, so they convert from 932.
static BSTR firewall_text(const char *text) {
    int count = MultiByteToWideChar(932, 0, text, -1, NULL, 0);
    if (count <= 0) {
        return NULL;
    }
    BSTR wide = SysAllocStringLen(NULL, (UINT)(count - 1));
    if (wide != NULL) {
        MultiByteToWideChar(932, 0, text, -1, wide, count);
    }
    return wide;
}

// Runs one change on the rules with COM started, and ends COM again where this started it.
static HRESULT firewall_change(HRESULT (*change)(INetFwRules *, void *), void *data) {
    HRESULT started = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    INetFwPolicy2 *policy = NULL;
    INetFwRules *rules = NULL;
    HRESULT result = CoCreateInstance(CLSID_NetFwPolicy2, NULL, CLSCTX_INPROC_SERVER,
                                      IID_INetFwPolicy2, (void **)&policy);
    if (SUCCEEDED(result)) {
        result = policy->get_Rules(&rules);
    }
    if (SUCCEEDED(result)) {
        result = change(rules, data);
        rules->Release();
    }
    if (policy != NULL) {
        policy->Release();
    }
    if (SUCCEEDED(started)) {
        CoUninitialize();
    }
    return result;
}

// Every rule of ours, not just the first: an earlier install may have left more than one.
static HRESULT remove_rules(INetFwRules *rules, void *) {
    BSTR name = firewall_text(FIREWALL_RULE_NAME);
    if (name == NULL) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = S_OK;
    for (int i = 0; i < 64; i++) {
        INetFwRule *found = NULL;
        if (FAILED(rules->Item(name, &found)) || found == NULL) {
            break;
        }
        found->Release();
        result = rules->Remove(name);
        if (FAILED(result)) {
            break;
        }
    }
    SysFreeString(name);
    return result;
}

struct rule_request {
    const char *program;
    int port;
    const std::string *remote_addresses;
};

static HRESULT add_rule(INetFwRules *rules, void *data) {
    const rule_request *request = (const rule_request *)data;
    HRESULT result = remove_rules(rules, NULL);
    INetFwRule *rule = NULL;
    if (SUCCEEDED(result)) {
        result = CoCreateInstance(CLSID_NetFwRule, NULL, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                                  (void **)&rule);
    }
    if (FAILED(result)) {
        return result;
    }
    char port[16];
    snprintf(port, sizeof port, "%d", request->port);
    const char *remote =
        request->remote_addresses->empty() ? "*" : request->remote_addresses->c_str();
    enum {
        BSTR_NAME,
        BSTR_DESCRIPTION,
        BSTR_GROUP,
        BSTR_PROGRAM,
        BSTR_PORT,
        BSTR_REMOTE,
        BSTR_COUNT
    };
    const char *texts[BSTR_COUNT] = {
        FIREWALL_RULE_NAME, RULE_DESCRIPTION, RULE_GROUP, request->program, port, remote};
    BSTR wide[BSTR_COUNT];
    for (int i = 0; i < BSTR_COUNT; i++) {
        wide[i] = firewall_text(texts[i]);
        if (wide[i] == NULL) {
            result = E_OUTOFMEMORY;
        }
    }
    // Each step only while all before it succeeded; the protocol before the port, since a rule
    // for any protocol takes no port.
    if (SUCCEEDED(result)) {
        result = rule->put_Name(wide[BSTR_NAME]);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Description(wide[BSTR_DESCRIPTION]);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Grouping(wide[BSTR_GROUP]);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_ApplicationName(wide[BSTR_PROGRAM]);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_LocalPorts(wide[BSTR_PORT]);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_RemoteAddresses(wide[BSTR_REMOTE]);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Direction(NET_FW_RULE_DIR_IN);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Action(NET_FW_ACTION_ALLOW);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Profiles(NET_FW_PROFILE2_ALL);
    }
    if (SUCCEEDED(result)) {
        result = rule->put_Enabled(VARIANT_TRUE);
    }
    if (SUCCEEDED(result)) {
        result = rules->Add(rule);
    }
    for (int i = 0; i < BSTR_COUNT; i++) {
        SysFreeString(wide[i]);
    }
    rule->Release();
    return result;
}

long firewall_add_rule(const char *program, int port, const std::string &remote_addresses) {
    rule_request request = {program, port, &remote_addresses};
    return firewall_change(add_rule, &request);
}

long firewall_remove_rule(void) {
    return firewall_change(remove_rules, NULL);
}
