#include "cms/detached_cms.h"

#include <algorithm>
#include <vector>

#include "cms/der_writer.h"
#include "common/sha256.h"

namespace quillon {
namespace {

// AlgorithmIdentifier with its parameters absent (not NULL).
Result<Bytes> algorithmIdentifier(Oid algorithm) {
    auto oid = der::objectIdentifier(algorithm);
    if (!oid) return fail(oid.error());
    return der::sequence({*oid});
}

// DER order of a SET OF: bytewise unsigned comparison, a prefix first.
bool derSetLess(const Bytes& a, const Bytes& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

Result<Bytes> marshalSignedData(const ParsedCertificate& cert, const Bytes& certsField, ByteView signedAttrs,
                                ByteView signature) {
    auto sha256Alg = algorithmIdentifier(oidSHA256);
    if (!sha256Alg) return fail(sha256Alg.error());
    auto rsaAlg = algorithmIdentifier(oidRSAEncryption);
    if (!rsaAlg) return fail(rsaAlg.error());
    auto dataOid = der::objectIdentifier(oidData);
    if (!dataOid) return fail(dataOid.error());

    // The signed attributes are stored as [0] IMPLICIT: same length and
    // content, only the tag changes. The caller's SET, which was hashed, stays.
    Bytes storedAttrs(signedAttrs.begin(), signedAttrs.end());
    if (!storedAttrs.empty()) storedAttrs[0] = der::kTagContext0;

    Bytes version = der::integer(std::int64_t{1});
    Bytes issuerSerial = der::sequence({cert.issuerNameDer, der::integer(cert.serial.negative, cert.serial.magnitude)});
    Bytes signerInfo = der::sequence({version, issuerSerial, *sha256Alg, storedAttrs, *rsaAlg,
                                      der::octetString(signature)});
    Bytes encapContent = der::sequence({*dataOid});
    return der::sequence({version, der::set({*sha256Alg}), encapContent, certsField, der::set({signerInfo})});
}

}  // namespace

std::chrono::system_clock::time_point systemNow() { return std::chrono::system_clock::now(); }

Result<Bytes> marshalOneAttr(Oid type, ByteView value) {
    auto oid = der::objectIdentifier(type);
    if (!oid) return fail(oid.error());
    return der::sequence({*oid, der::set({value})});
}

Result<Bytes> marshalSignedAttributes(ByteView digest, const Clock& clock) {
    auto dataOid = der::objectIdentifier(oidData);
    if (!dataOid) return fail(dataOid.error());
    auto contentType = marshalOneAttr(oidContentType, *dataOid);
    if (!contentType) return fail(contentType.error());

    // Whole seconds, truncated (floor also before 1970).
    auto when = der::time(std::chrono::floor<std::chrono::seconds>(clock()));
    if (!when) return fail(when.error());
    auto signingTime = marshalOneAttr(oidSigningTime, *when);
    if (!signingTime) return fail(signingTime.error());

    auto messageDigest = marshalOneAttr(oidMessageDigest, der::octetString(digest));
    if (!messageDigest) return fail(messageDigest.error());

    std::vector<Bytes> attrs{std::move(*contentType), std::move(*signingTime), std::move(*messageDigest)};
    std::stable_sort(attrs.begin(), attrs.end(), derSetLess);
    return der::set({attrs[0], attrs[1], attrs[2]});
}

Result<Bytes> marshalCMSContentInfo(const ParsedCertificate& cert, ByteView signedAttrs, ByteView signature) {
    Bytes certsField = der::element(der::kTagContext0, cert.der);
    auto signedData = marshalSignedData(cert, certsField, signedAttrs, signature);
    if (!signedData) return failWrapped("marshal SignedData: ", std::move(signedData.error()));
    auto contentType = der::objectIdentifier(oidSignedData);
    if (!contentType) return fail(contentType.error());
    return der::sequence({*contentType, der::element(der::kTagContext0, *signedData)});
}

Result<Bytes> buildPkcs7DetachedForDigest(const ParsedCertificate& cert, Signer& signer, const Sha256Digest& dataDigest,
                                          const Clock& clock) {
    auto attrs = marshalSignedAttributes(dataDigest, clock);
    if (!attrs) return failWrapped("marshalSignedAttributes: ", std::move(attrs.error()));

    Sha256Digest attrsDigest = sha256Of(*attrs);
    auto signature = signer.Sign(&systemRandom(), attrsDigest, SignerOpts{HashFunction::SHA256});
    if (!signature) return failWrapped("signer.Sign: ", std::move(signature.error()));

    return marshalCMSContentInfo(cert, *attrs, *signature);
}

}  // namespace quillon
