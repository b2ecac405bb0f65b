// The two conversion jobs and the one interface through which they reach the
// list, the directories and the user.
#pragma once

#include <cstdint>
#include <string>

#include "convert/ConversionList.h"
#include "convert/ConvertResult.h"

// Implemented by whoever owns the list: the desktop dialog carries every call
// out on its interface thread while the job waits; the command-line converter
// and the tests answer directly.
class IConversionHost {
public:
    virtual ~IConversionHost() = default;

    virtual int32_t GetRowCount() = 0;
    virtual bool IsRowChecked(int32_t nRow) = 0;
    virtual std::wstring GetRowText(int32_t nRow, int32_t nColumn) = 0;
    virtual void SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) = 0;
    // A row's progress in percent; a list shows it as its Progress text.
    virtual void SetRowProgress(int32_t nRow, int32_t nPercent) {
        SetRowText(nRow, COL_PROGRESS, std::to_wstring(nPercent));
    }

    // Directory of the row's input and of its output, each ending in '/'.
    // Read afresh for every row.
    virtual std::wstring GetSourceDir(int32_t nRow) = 0;
    virtual std::wstring GetSaveDir(int32_t nRow) = 0;

    // The closing message of the MP4 job; returns when the user has seen it.
    virtual void ShowMessage(const std::wstring& strText) = 0;

    // True once the owner wants the job to stop after its current chunk.
    virtual bool IsStopRequested() { return false; }

    // Called once per converted row when its conversion begins.
    virtual void OnRowStart(int32_t /*nRow*/) {}

    // Called once per converted row after its result texts are written, with
    // the outcome and the output path the row was converted to.
    virtual void OnRowDone(int32_t /*nRow*/, const convert::SConversionResult& /*result*/,
                           const std::wstring& /*strOutputPath*/) {}
};

// Process-wide host that progress callbacks (which get only a row index) reach
// the list through. Set once by the owner of the list before any job starts.
extern IConversionHost* g_pMainDlg;

// Thread routines; the parameter is the IConversionHost. Both return 1.
uint32_t Mp4ConvertThread(void* pParam);
uint32_t AviConvertThread(void* pParam);

// Progress callback handed to the AVI library (row index as user value).
void AviProgressCallback(uint32_t nPosition, uint32_t nTotal, int32_t nUser);
