#pragma once

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <optional>
#include <string>
#include <vector>

// The pieces of the WASAPI capture that name things: the endpoints an
// "output:" choice takes by id, the applications playing, and the process
// loopback an "app:" choice records through. All of them from any thread of
// the multithreaded apartment.

std::wstring Utf16(const std::string& text);
std::string Utf8(const wchar_t* text);

// An active endpoint of one flow: its id (what "output:" names), its friendly
// name, and whether it is the console default.
struct AudioEndpoint {
    std::string id;
    std::string name;
    bool isDefault = false;
};
std::vector<AudioEndpoint> ListAudioEndpoints(IMMDeviceEnumerator* enumerator, EDataFlow flow);
// The friendly name of the endpoint; its id when it has none.
std::string EndpointName(IMMDevice* device);

// The executable name ("Spotify.exe") of each process with a session on the
// endpoint, once each, and whether one of its sessions is playing.
struct PlayingApp {
    std::string name;
    bool playing = false;
};
std::vector<PlayingApp> ListSessionApps(IMMDevice* endpoint);

// The first running process with that executable name (as the process list
// spells it, exactly); 0 when none runs.
DWORD FindProcessByExecutable(const std::string& name);

// An audio client that records what the process and its children play
// (process loopback, include mode), not yet initialised; null with the
// failure in hr. Waits up to a few seconds for the activation.
IAudioClient* ActivateProcessLoopback(DWORD processId, HRESULT& hr);

// Why this system cannot record one application (Windows before 10 version
// 2004, or Wine without process loopback), or nothing when it can: the
// activation tried once on our own process and remembered.
std::optional<std::string> ProcessLoopbackUnavailable();
