#include "rfid/epc_schemes.h"

#include <gtest/gtest.h>

#include <string>

#include "rfid/epc_digits.h"

namespace {

// Tags worked out bit by bit from the tag data standard's tables (header,
// filter, partition, company prefix and reference widths, 7-bit and 6-bit
// codes), not from our encoder; "example" rows are the standard's own. Each
// encodes to its tag, reads back to its URI, and the tag read encodes again.
TEST(EpcSchemes, EverySchemeEncodesAndReadsBack) {
    const struct {
        const wchar_t* uri;
        const wchar_t* hex;
        const char* note;
    } rows[] = {
        {L"urn:epc:tag:sgtin-96:3.0614141.812345.6789", L"3074257BF7194E4000001A85", "example"},
        {L"urn:epc:tag:sgtin-96:0.012345678901.9.274877906943", L"30000B7F7070D67FFFFFFFFF",
         "partition 0, serial 2^38 - 1"},
        {L"urn:epc:tag:sgtin-96:7.000000.0000000.0", L"30F800000000000000000000",
         "partition 6, zeros"},
        {L"urn:epc:tag:sgtin-198:3.0614141.712345.32a%2Fb",
         L"3674257BF6B7A659B2C2BF1000000000000000000000000000", "example, '/' escaped"},
        {L"urn:epc:tag:sscc-96:3.0614141.1234567890", L"3174257BF4499602D2000000", "example"},
        {L"urn:epc:tag:sscc-96:0.061414112345.01234", L"3100393243F16404D2000000", "partition 0"},
        {L"urn:epc:tag:sgln-96:3.0614141.12345.400", L"3274257BF460720000000190", "example"},
        {L"urn:epc:tag:sgln-195:3.0614141.12345.a%22%25%26%3C%3E%3F.z",
         L"3974257BF46073851254CF1F3F5DE800000000000000000000",
         "every escape, a '.' in the last field"},
        {L"urn:epc:tag:grai-96:3.0614141.12345.400", L"3374257BF40C0E4000000190", "4-bit P2 gap"},
        {L"urn:epc:tag:grai-96:1.061414112345..7", L"3320393243F1640000000007",
         "no asset type digits"},
        {L"urn:epc:tag:grai-170:3.0614141.12345.32a%2Fb",
         L"3774257BF40C0E59B2C2BF1000000000000000000000", "7-bit serial"},
        {L"urn:epc:tag:giai-96:3.0614141.5678", L"3474257BF40000000000162E", "example"},
        {L"urn:epc:tag:giai-96:0.061414112345.4398046511103", L"3400393243F167FFFFFFFFFF",
         "partition 0, largest asset reference 2^42 - 1"},
        {L"urn:epc:tag:giai-202:3.0614141.12345400",
         L"3874257BF58B266D1AB460C00000000000000000000000000000", "7-bit after the prefix"},
        {L"urn:epc:tag:gsrn-96:3.0614141.1234567890", L"2D74257BF4499602D2000000", "as sscc"},
        {L"urn:epc:tag:gsrnp-96:3.0614141.1234567890", L"2E74257BF4499602D2000000", "as gsrn"},
        {L"urn:epc:tag:gdti-96:3.0614141.12345.400", L"2C74257BF460720000000190", "as sgln"},
        {L"urn:epc:tag:gdti-113:3.0614141.12345.00000000000000001",
         L"3A74257BF46072B1A2BC2EC5000080", "17 digits, leading zeros kept by the leading 1"},
        {L"urn:epc:tag:gdti-174:3.0614141.12345.abc%3F",
         L"3E74257BF46073871637E00000000000000000000000", "'?' escaped"},
        {L"urn:epc:tag:cpi-96:3.0614141.123456.123456789", L"3C74257BF400F120075BCD15", "example"},
        {L"urn:epc:tag:cpi-var:3.0614141.5PQ7%2FZ43.12345", L"3D74257BF75411DEF6B4CC000000030390",
         "example: 6-bit reference, '/' escaped"},
        {L"urn:epc:tag:sgcn-96:3.4012345.67890.04711", L"3F74F4E4E612640000019907",
         "leading zero serial"},
        {L"urn:epc:tag:itip-110:3.4012345.012345.01.02.12345", L"4074F4E4E40C0E4082000000C0E4",
         "piece and total"},
        {L"urn:epc:tag:itip-212:3.4012345.012345.01.02.a%2Fb",
         L"4174F4E4E40C0E4082C2BF10000000000000000000000000000000", "7-bit serial"},
        {L"urn:epc:tag:gid-96:31415.271828.1414", L"350007AB70425D4000000586", "no filter"},
        {L"urn:epc:tag:gid-96:268435455.16777215.68719476735", L"35FFFFFFFFFFFFFFFFFFFFFF",
         "largest"},
        {L"urn:epc:tag:usdod-96:3.CAGEY.5678", L"2F320434147455900000162E",
         "8-bit CAGE after a space"},
        {L"urn:epc:tag:usdod-96:15.ABC123.0", L"2FF414243313233000000000", "6-character DoDAAC"},
        {L"urn:epc:tag:adi-var:3.35962.PQ7VZ4.M37GXB92", L"3B0E0CF5E76C9047759AD00373DC7602E72000",
         "example"},
        {L"urn:epc:tag:adi-var:63.ABC123..%23A%2F1", L"3BFC1083C72CC08C1BF100",
         "empty part number, '#' first in the serial"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.note);
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.uri)));
        EpcDigits hex;
        ASSERT_EQ(EncodeEpcTagUri(row.uri, hex).error, EpcNameError::kNone);
        EXPECT_EQ(hex.text, row.hex);
        EpcNames names;
        ASSERT_EQ(DecodeEpcNames(row.hex, names).error, EpcNameError::kNone);
        EXPECT_EQ(names.tagUri, row.uri);
        EpcDigits again;
        EXPECT_EQ(EncodeEpcTagUri(names.tagUri, again).error, EpcNameError::kNone);
        EXPECT_EQ(again.text, row.hex);
    }
}

// Identity URIs and element strings; check digits by the GS1 rule (weights
// 3 and 1 from the right), worked by hand.
TEST(EpcSchemes, IdentityUrisAndElementStrings) {
    const struct {
        const wchar_t* scheme;
        int prefixDigits;
        const wchar_t* hex;
        const wchar_t* id;
        const wchar_t* element;
    } rows[] = {
        {L"sgtin-96", 7, L"3074257BF7194E4000001A85", L"urn:epc:id:sgtin:0614141.812345.6789",
         L"(01)80614141123458(21)6789"},
        {L"sscc-96", 7, L"3174257BF4499602D2000000", L"urn:epc:id:sscc:0614141.1234567890",
         L"(00)106141412345678908"},
        {L"sgln-96", 7, L"3274257BF460720000000190", L"urn:epc:id:sgln:0614141.12345.400",
         L"(414)0614141123452(254)400"},
        {L"sgln-96", 7, L"3274257BF460720000000000", L"urn:epc:id:sgln:0614141.12345.0",
         L"(414)0614141123452"},
        {L"grai-96", 7, L"3374257BF40C0E4000000190", L"urn:epc:id:grai:0614141.12345.400",
         L"(8003)00614141123452400"},
        {L"giai-96", 7, L"3474257BF40000000000162E", L"urn:epc:id:giai:0614141.5678",
         L"(8004)06141415678"},
        {L"gsrn-96", 7, L"2D74257BF4499602D2000000", L"urn:epc:id:gsrn:0614141.1234567890",
         L"(8018)061414112345678902"},
        {L"gdti-96", 7, L"2C74257BF460720000000190", L"urn:epc:id:gdti:0614141.12345.400",
         L"(253)0614141123452400"},
        {L"cpi-96", 7, L"3C74257BF400F120075BCD15", L"urn:epc:id:cpi:0614141.123456.123456789",
         L"(8010)0614141123456(8011)123456789"},
        {L"sgcn-96", 7, L"3F74F4E4E612640000019907", L"urn:epc:id:sgcn:4012345.67890.04711",
         L"(255)401234567890104711"},
        {L"itip-110", 7, L"4074F4E4E40C0E4082000000C0E4",
         L"urn:epc:id:itip:4012345.012345.01.02.12345", L"(8006)040123451234560102(21)12345"},
        {L"gid-96", 0, L"350007AB70425D4000000586", L"urn:epc:id:gid:31415.271828.1414", L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.id)));
        EpcNames names;
        ASSERT_EQ(DecodeEpcNames(row.hex, names).error, EpcNameError::kNone);
        EXPECT_EQ(names.idUri, row.id);
        EXPECT_EQ(names.element, row.element);
        if (*row.element != L'\0') {
            EpcDigits hex;
            EXPECT_EQ(
                EncodeEpcElementString(row.scheme, 3, row.prefixDigits, row.element, hex).error,
                EpcNameError::kNone);
            EXPECT_EQ(hex.text, row.hex);
        }
    }
}

// Nothing that does not fit becomes a tag, least of all a valid tag of
// another identity; the field named is the one the log shows.
TEST(EpcSchemes, ValuesThatDoNotFitAreRefused) {
    const struct {
        const wchar_t* uri;
        EpcNameError error;
        const char* field;
    } rows[] = {
        {L"urn:epc:tag:sgtin-96:3.0614141.812345.274877906944", EpcNameError::kInvalidData,
         "serial"},
        {L"urn:epc:tag:sgtin-96:3.0614141.812345.06789", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-96:3.0614141.812345.67a", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-96:9.0614141.812345.6789", EpcNameError::kInvalidData, "filter"},
        {L"urn:epc:tag:sgtin-96:8.0614141.812345.6789", EpcNameError::kInvalidData, "filter"},
        {L"urn:epc:tag:sgtin-96:3.0614141.8123456.6789", EpcNameError::kInvalidData,
         "item reference"},
        {L"urn:epc:tag:sgtin-96:3.06141.81234567.6789", EpcNameError::kInvalidData,
         "company prefix"},
        {L"urn:epc:tag:sgtin-96:3.0614141.812345", EpcNameError::kInvalidParameter, ""},
        {L"urn:epc:tag:sgtin-96:3.0614141.812345.6789.1", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-198:3.0614141.812345.a;b", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-198:3.0614141.812345.a/b", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-198:3.0614141.812345.%2", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-198:3.0614141.812345.123456789012345678901",
         EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:sgtin-198:3.0614141.812345.a\u00E9", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:gdti-113:3.0614141.12345.123456789012345678", EpcNameError::kInvalidData,
         "serial"},
        {L"urn:epc:tag:adi-var:3.35962.PQ7VZ4.M3%23", EpcNameError::kInvalidData, "serial"},
        {L"urn:epc:tag:adi-var:3.35962.pq7.M3", EpcNameError::kInvalidData, "part number"},
        {L"urn:epc:tag:usdod-96:3.CAGE.1", EpcNameError::kInvalidData, "CAGE/DoDAAC"},
        {L"urn:epc:tag:itip-110:3.4012345.012345.1.02.12345", EpcNameError::kInvalidData, "piece"},
        {L"urn:epc:tag:sgtin-97:3.0614141.812345.6789", EpcNameError::kNotSupported, ""},
        {L"urn:epc:id:sgtin:0614141.812345.6789", EpcNameError::kInvalidParameter, ""},
        {L"", EpcNameError::kInvalidParameter, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.uri)));
        EpcDigits hex;
        const EpcNameResult result = EncodeEpcTagUri(row.uri, hex);
        EXPECT_EQ(result.error, row.error);
        EXPECT_STREQ(result.field, row.field);
    }
}

TEST(EpcSchemes, FaultyElementStringsAndTagsAreRefused) {
    const struct {
        const wchar_t* scheme;
        int filter;
        int prefixDigits;
        const wchar_t* element;
        EpcNameError error;
    } elements[] = {
        {L"sgtin-96", 3, 7, L"(01)80614141123457(21)6789", EpcNameError::kInvalidData},
        {L"sgtin-96", 3, 7, L"(01)80614141123458(21)06789", EpcNameError::kInvalidData},
        {L"sgtin-96", 3, 7, L"(01)80614141123458", EpcNameError::kInvalidData},
        {L"sgtin-96", 9, 7, L"(01)80614141123458(21)6789", EpcNameError::kInvalidData},
        {L"sgtin-96", 3, 13, L"(01)80614141123458(21)6789", EpcNameError::kInvalidData},
        {L"sgtin-96", 3, 7, L"01)80614141123458", EpcNameError::kInvalidParameter},
        {L"sgtin-96", 3, 7, L"(00)106141412345678908", EpcNameError::kInvalidParameter},
        {L"gid-96", 3, 7, L"(01)80614141123458(21)6789", EpcNameError::kNotSupported},
        {L"sgtin", 3, 7, L"(01)80614141123458(21)6789", EpcNameError::kNotSupported},
    };
    for (const auto& row : elements) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.element)));
        EpcDigits hex;
        EXPECT_EQ(EncodeEpcElementString(row.scheme, row.filter, row.prefixDigits, row.element, hex)
                      .error,
                  row.error);
    }
    const struct {
        const wchar_t* hex;
        EpcNameError error;
        const char* note;
    } tags[] = {
        {L"FF74257BF7194E4000001A85", EpcNameError::kNotSupported, "no scheme has header FF"},
        {L"307C257BF7194E4000001A85", EpcNameError::kInvalidData, "partition 7"},
        {L"30000B7F7070D6BFFFFFFFFF", EpcNameError::kInvalidData, "item reference 10 in one digit"},
        {L"3074257BF7194E4000001A", EpcNameError::kInvalidData, "too short"},
        {L"3674257BF6B7A659B2C2EF1000000000000000000000000000", EpcNameError::kInvalidData,
         "';' in a 7-bit serial"},
        {L"3A74257BF460720000000000000000", EpcNameError::kInvalidData, "no leading 1"},
        {L"zz", EpcNameError::kInvalidParameter, "no digits"},
    };
    for (const auto& row : tags) {
        SCOPED_TRACE(row.note);
        EpcNames names;
        EXPECT_EQ(DecodeEpcNames(row.hex, names).error, row.error);
    }
}

}  // namespace
