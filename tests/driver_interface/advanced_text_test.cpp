#include "driver_interface/advanced_text.h"

#include <gtest/gtest.h>

#include <tuple>

// Expected texts are written out from the envelope's piece table by hand.

TEST(DalQueryEnvelope, AttributesAppearOnlyUnderTheirConditions) {
    struct Row {
        const char* id;
        DalQueryOptions options;
        const char* expected;
        const char* note;
    } rows[] = {
        {"7",
         {},
         "<query id='7' name='DAL Query'><request id='1' name='DAL Request'>"
         "<encode in='base64;lz77'>QQ==</encode></request></query>",
         "no time-outs, no pattern, no read flag"},
        {"7",
         {-1, 0, -100, "", false},
         "<query id='7' name='DAL Query'><request id='1' name='DAL Request'>"
         "<encode in='base64;lz77'>QQ==</encode></request></query>",
         "negative time-outs are left out like 0"},
        {"7",
         {100, 2000, 30, "OK", true},
         "<query id='7' name='DAL Query'><request id='1' name='DAL Request' sendTimeout='100' "
         "receiveStartTimeout='2000' receiveIntervalTimeout='30' responsePattern='OK' "
         "parameters='read=false'><encode in='base64;lz77'>QQ==</encode></request></query>",
         "every attribute"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(DalQueryEnvelope(row.id, row.options, "QQ=="), row.expected);
    }
    EXPECT_EQ(JobStatusRequest(42),
              "<job id='42' action='get' jobIdentity='true' jobStatus='true' />&#00;");
    EXPECT_EQ(JobStatusRequest(0xFFFFFFFF),
              "<job id='-1' action='get' jobIdentity='true' jobStatus='true' />&#00;");
}

// Ids and patterns go into apostrophe-quoted attributes: none of them may end
// its attribute and add another. Entities as XML 1.0 names them.
TEST(DalQueryEnvelope, IdAndPatternCannotLeaveTheirAttributes) {
    struct Row {
        const char* text;
        const char* escaped;
    } rows[] = {
        {"Q-17", "Q-17"},
        {"x' get='response", "x&apos; get=&apos;response"},
        {"a\"b", "a&quot;b"},
        {"a&b<c>", "a&amp;b&lt;c&gt;"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string escaped = row.escaped;
        DalQueryOptions options;
        options.responsePattern = row.text;
        const std::string envelope = DalQueryEnvelope(row.text, options, "");
        EXPECT_EQ(envelope.rfind("<query id='" + escaped + "' name='DAL Query'>", 0), 0u)
            << envelope;
        EXPECT_NE(envelope.find(" responsePattern='" + escaped + "'>"), std::string::npos)
            << envelope;
        for (const char* what : {"status", "response"}) {
            EXPECT_EQ(DalQueryPollRequest(row.text, what),
                      "<request query='" + escaped + "' id='1' get='" + what + "' />");
        }
    }
}

TEST(AdvancedAnswers, NumbersDatesAndTerminators) {
    struct Row {
        const char* text;
        int number;
        const char* note;
    } numbers[] = {
        {"abc", 0, "no digits"},
        {"99999999999", 2147483647, "clamped"},
        {"-99999999999", -2147483647 - 1, "clamped low"},
    };
    for (const Row& row : numbers) {
        SCOPED_TRACE(row.note);
        EXPECT_EQ(LeadingDecimal(row.text), row.number);
    }
    struct Cut {
        const char* date;
        const char* expected;
    } dates[] = {{"2026-03-14 10:42:07", "2026-03-14"},
                 {"14.03.2026,10:42", "14.03.2026"},
                 {"03/14/2026, 10:42", "03/14/2026"},
                 {"2026-03-14", "2026-03-14"}};
    for (const Cut& row : dates) {
        SCOPED_TRACE(row.date);
        EXPECT_EQ(CutBuildDate(row.date), row.expected);
    }
    EXPECT_EQ(AnswerText({'1', ';', 'A', 0, 'B'}), "1;A") << "ends at the first NUL";
}

// The status is free text: a ';' inside it neither cuts it nor takes the
// severity's place, which is the last value.
TEST(AdvancedAnswers, StatusTextRunsToTheLastSeparator) {
    const std::tuple<const char*, bool, const char*, int> rows[] = {
        {"1;Ready;1", true, "Ready", 1},
        {"1;Ribbon out; replace ribbon;2", true, "Ribbon out; replace ribbon", 2},
        {"1;;3", true, "", 3},
        {"1;Paper Jam", false, "", 0},
        {"0;Ready;1", false, "", 0},
    };
    for (const auto& [text, complete, status, severity] : rows) {
        SCOPED_TRACE(text);
        const StatusTextAnswer answer = ReadStatusTextAnswer(text);
        EXPECT_EQ(answer.complete, complete);
        EXPECT_EQ(answer.status, status);
        EXPECT_EQ(answer.severity, severity);
    }
}

// Hand-read: "0000000C" is 12; severity 2 adds bit 31, 3 adds bit 30.
TEST(WatchAnswer, FourStatesFromOneAnswer) {
    struct Row {
        const char* text;
        bool monitored;
        bool complete;
        const char* status;
        int severity;
        uint32_t flags;
        const char* note;
    } rows[] = {
        {"1;Ready;1;00000000", true, true, "Ready", 1, 0, "ready"},
        {"1;Head Open;2;0000000C", true, true, "Head Open", 2, 0x8000000C, "error adds bit 31"},
        {"1;Toner;3;1F2E", true, true, "Toner", 3, 0x5F2E0000, "four digits: the high bytes"},
        {"1;a;b;c;3;00000001", true, true, "a;b;c", 3, 0x40000001, "';' inside the text"},
        {"1;;1;", true, true, "", 1, 0, "empty text and flags"},
        {"1;Ready;1", true, false, "", 0, 0, "three values: incomplete"},
        {"0;Ready;2;00000008", false, false, "", 0, 0, "not monitored"},
        {"1;", false, false, "", 0, 0, "shorter than three"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.note);
        const WatchAnswer answer = ReadWatchAnswer(row.text);
        EXPECT_EQ(answer.monitored, row.monitored);
        EXPECT_EQ(answer.complete, row.complete);
        EXPECT_EQ(answer.status, row.status);
        EXPECT_EQ(answer.severity, row.severity);
        EXPECT_EQ(answer.extendedFlags, row.flags);
    }
}
