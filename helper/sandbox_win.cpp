// The Windows part of the sandbox: a job object that allows no second
// process and no breakaway and keeps the helper off the desktop's shared
// state, mitigation policies that a running process can set on itself, and,
// once connected, the Low integrity level, which no longer lets the helper
// write to anything of the user's (a Low process could not have opened the
// preview side's pipe, hence only after the connection).

#include "sandbox.h"

#include "contract.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <sddl.h>

namespace {

bool confineToJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // Neither breakaway flag is set: nothing the helper starts could leave.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS
        | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION | JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    // Committed memory, where Linux bounds the address space: a file that
    // inflates past it ends the helper.
    limits.ProcessMemoryLimit = SIZE_T(HelperAddressSpaceBytes);
    JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
    ui.UIRestrictionsClass = JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS
        | JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_GLOBALATOMS | JOB_OBJECT_UILIMIT_HANDLES
        | JOB_OBJECT_UILIMIT_READCLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS | JOB_OBJECT_UILIMIT_WRITECLIPBOARD;
    const bool confined = SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
        && SetInformationJobObject(job, JobObjectBasicUIRestrictions, &ui, sizeof ui)
        && AssignProcessToJobObject(job, GetCurrentProcess());
    // The job stays with the process; without a handle nobody here can lift its limits.
    CloseHandle(job);
    return confined;
}

bool setMitigations()
{
    PROCESS_MITIGATION_DYNAMIC_CODE_POLICY dynamicCode{};
    dynamicCode.ProhibitDynamicCode = 1;
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
    images.NoRemoteImages = 1;
    images.NoLowMandatoryLabelImages = 1;
    images.PreferSystem32Images = 1;
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensionPoints{};
    extensionPoints.DisableExtensionPoints = 1;
    // pdfium draws a document's own fonts itself and asks the system only
    // for the system's: a font file that GDI would parse for an attacker
    // never needs loading.
    PROCESS_MITIGATION_FONT_DISABLE_POLICY fonts{};
    fonts.DisableNonSystemFonts = 1;
    return SetProcessMitigationPolicy(ProcessDynamicCodePolicy, &dynamicCode, sizeof dynamicCode)
        && SetProcessMitigationPolicy(ProcessImageLoadPolicy, &images, sizeof images)
        && SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &extensionPoints, sizeof extensionPoints)
        && SetProcessMitigationPolicy(ProcessFontDisablePolicy, &fonts, sizeof fonts);
}

bool lowerIntegrity()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT | TOKEN_QUERY, &token))
        return false;
    PSID low = nullptr;
    bool lowered = false;
    if (ConvertStringSidToSidW(L"S-1-16-4096", &low)) {
        TOKEN_MANDATORY_LABEL label{};
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        label.Label.Sid = low;
        lowered = SetTokenInformation(token, TokenIntegrityLevel, &label, DWORD(sizeof label + GetLengthSid(low)));
        LocalFree(low);
    }
    CloseHandle(token);
    return lowered;
}

} // namespace

namespace Sandbox {

void closeInheritedDescriptors(std::vector<int>)
{
    // Windows passes a child only the handles its creator marked for it; the
    // preview side marks the standard ones and the shared area's.
}

QStringList fontFolders()
{
    // pdfium on Windows asks the system's font interface, not folders.
    return {};
}

// Windows has no namespaces to give a process; the job object and the
// integrity level are what there is.
QStringList applyNamespaces(const RootContents &)
{
    return {};
}

QStringList applyFirstStage(const Allowance &)
{
    QStringList missing;
    if (!confineToJob())
        missing << QStringLiteral("job object");
    if (!setMitigations())
        missing << QStringLiteral("mitigation policies");
    return missing;
}

QStringList applyConnectedStage()
{
    if (!lowerIntegrity())
        return {QStringLiteral("low integrity")};
    return {};
}

} // namespace Sandbox
