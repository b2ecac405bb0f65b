// Stand-ins for the MP4 job's reader, parser and writer, so that the job loop
// can be driven through exact byte counts, read errors and writer failures.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/ConvertEngine.h"
#include "libs/tessaro/tessaro.h"

struct SFakeInput {
    uint64_t nSize = 0;   // what Size() says
    uint64_t nBytes = 0;  // what the reads deliver
    int nFailAtRead = 0;  // 1-based read that fails; 0 never
};

struct SFakeOutput {
    int nFailAtFrame = 0;      // 1-based InputFrame call that returns -1; 0 never
    int32_t nFinish = 1;       // what Finish() returns
    bool bCreateFile = false;  // put a real file at the path, as a writer would
};

class CFakeBackend : public convert::CMp4Backend {
public:
    std::map<std::string, SFakeInput> inputs;
    SFakeOutput output;
    std::vector<std::string> opened;       // inputs asked for
    std::vector<std::string> writerPaths;  // writers made
    std::vector<std::string> events;       // releases, in order
    int nChunksFed = 0;
    int nInputEnds = 0;
    int nFramesTaken = 0;
    int nFinishCalls = 0;

    std::unique_ptr<convert::IInputReader> OpenInput(const std::string& strPath,
                                                     convert::SConversionResult& failure) override {
        opened.push_back(strPath);
        auto it = inputs.find(strPath);
        if (it == inputs.end()) {
            failure = convert::Failure(convert::EReason::OpenInput, "No such file or directory");
            return nullptr;
        }
        return std::make_unique<CReader>(it->second, events);
    }
    std::unique_ptr<convert::IFrameParser> CreateParser() override { return std::make_unique<CParser>(*this); }
    std::unique_ptr<convert::IFrameWriter> CreateWriter(const std::string& strPath, const SMp4WriterOptions&,
                                                        std::string&) override {
        writerPaths.push_back(strPath);
        // Like the real writer: a temporary that only a finished file replaces
        // the final name with.
        if (output.bCreateFile) std::ofstream(strPath + ".part", std::ios::binary) << "partial";
        return std::make_unique<CWriter>(*this, output.bCreateFile ? strPath : std::string());
    }

private:
    class CReader : public convert::IInputReader {
    public:
        CReader(SFakeInput input, std::vector<std::string>& events) : m_input(input), m_events(events) {}
        ~CReader() override { m_events.push_back("input"); }
        uint64_t Size() const override { return m_input.nSize; }
        size_t Read(uint8_t*, size_t nLen) override {
            ++m_nReads;
            if (m_nReads == m_input.nFailAtRead) {
                m_bFailed = true;
                return 0;
            }
            const uint64_t n = std::min<uint64_t>(nLen, m_input.nBytes - m_nDone);
            m_nDone += n;
            return static_cast<size_t>(n);
        }
        bool Failed() const override { return m_bFailed; }

    private:
        SFakeInput m_input;
        std::vector<std::string>& m_events;
        uint64_t m_nDone = 0;
        int m_nReads = 0;
        bool m_bFailed = false;
    };

    // One video frame per chunk fed.
    class CParser : public convert::IFrameParser {
    public:
        explicit CParser(CFakeBackend& owner) : m_owner(owner) {}
        ~CParser() override { m_owner.events.push_back("parser"); }
        void InputData(const uint8_t*, uint32_t nLen) override {
            ++m_owner.nChunksFed;
            m_nPending += nLen > 0 ? 1 : 0;
        }
        void InputEnd() override { ++m_owner.nInputEnds; }
        const TessaroFrame* GetNextFrame() override {
            if (m_nPending == 0) return nullptr;
            --m_nPending;
            return &m_frame;
        }

    private:
        CFakeBackend& m_owner;
        int m_nPending = 0;
        TessaroFrame m_frame{};
    };

    class CWriter : public convert::IFrameWriter {
    public:
        CWriter(CFakeBackend& owner, std::string strPath) : m_owner(owner), m_strPath(std::move(strPath)) {}
        ~CWriter() override {
            m_owner.events.push_back("writer");
            if (!m_strPath.empty()) std::remove((m_strPath + ".part").c_str());
        }
        int32_t InputFrame(const TessaroFrame*) override {
            ++m_nCalls;
            ++m_owner.nFramesTaken;
            return m_nCalls == m_owner.output.nFailAtFrame ? -1 : 1;
        }
        int32_t Finish() override {
            ++m_owner.nFinishCalls;
            if (m_owner.output.nFinish == 1 && !m_strPath.empty())
                std::rename((m_strPath + ".part").c_str(), m_strPath.c_str());
            return m_owner.output.nFinish;
        }

    private:
        CFakeBackend& m_owner;
        std::string m_strPath;
        int m_nCalls = 0;
    };
};
