#pragma once

#include "platform/result.h"
#include "vpn/vpn_facility.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The rules of an IKEv2 profile that hold whichever backend carries it: which profiles can be used at all,
// and the proposal texts both backends hand on (charon's syntax, which NetworkManager's plugin takes too).
namespace IkeProfile {

// The profile's name at the system; a profile of that name on the IKEv2 plugin is ours.
inline constexpr const char* name = "Kestrava";

// A profile whose every field has been checked, with its texts trimmed and its proposals spelled out.
struct Usable {
    QString server;
    QString remoteId;
    std::optional<QString> localId; // nothing when the profile leaves it to the system
    QByteArray secretReference;
    QByteArray ikeProposal;
    QByteArray espProposal;
    int deadPeerDetectionRate = 2;
    bool operator==(const Usable&) const = default;
};

// The profile as a backend may use it, or why it cannot be used (text "VPN profili kullanılamıyor: ...").
// Checked in order: server address, remote and local identity, authentication, keychain reference,
// IKE and ESP algorithms.
Result<Usable> check(const IkeV2Protocol& protocol);

// The proposal text for the parameters ("aes256-sha256-modp2048"), or why there is none. An AEAD cipher
// brings its own integrity: ESP names none, IKE names only its PRF.
Result<QByteArray> proposal(const IkeSaParameters& parameters, bool forIke);

// The inverse of proposal(): the parameters that spell the text. Where proposal() drops the integrity
// algorithm (AEAD), SHA-256 stands for it, and the PRF "prfsha1" reads as SHA-1. Nothing for a text
// proposal() never makes.
std::optional<IkeSaParameters> parameters(QByteArrayView proposal, bool forIke);

} // namespace IkeProfile
