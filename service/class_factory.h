// The service's table of class ids (see vzSmartPtr::CreateInstance): every
// object the network library creates by id, from the transport's sockets,
// timers and connections to the HTTP, report and TLS layers.
#pragma once

// Makes vzSmartPtr::CreateInstance know every class of the service. Called
// by InitializeService before the worker starts; test programs call it in
// their entry point. Any thread; idempotent.
void InstallServiceClassFactory();
