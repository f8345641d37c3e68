/* What the generated exercises do with signals: an action set (the
   default, ignored, a handler with or without SA_RESTART), one signal
   blocked or unblocked, a wait in sigsuspend, an alarm. */
#ifndef SIGNALS_H
#define SIGNALS_H

#include <signal.h>
#include <string.h>

enum { DEFAULT, IGNORE, HANDLE, HANDLE_RESTART };

static void noted(int signal)
{
    (void)signal;
}

__attribute__((unused)) static void on(int signal, int how)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = how == DEFAULT ? SIG_DFL : how == IGNORE ? SIG_IGN : noted;
    action.sa_flags = how == HANDLE_RESTART ? SA_RESTART : 0;
    sigaction(signal, &action, NULL);
}

__attribute__((unused)) static void mask(int how, int signal)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(how, &set, NULL);
}

/* Waits in sigsuspend for a signal it blocks, and catches. */
__attribute__((unused)) static void wait_for(int signal)
{
    sigset_t set;
    sigprocmask(SIG_SETMASK, NULL, &set);
    sigdelset(&set, signal);
    sigsuspend(&set);
}

static volatile sig_atomic_t alarmed;

static void rang(int signal)
{
    (void)signal;
    alarmed = 1;
}

/* alarm(1), and a wait in sigsuspend until SIGALRM has come (another
   signal caught on the way does not end the wait): SIGALRM is blocked
   but in the wait, so that it interrupts no other call. */
__attribute__((unused)) static void alarm_and_wait(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = rang;
    mask(SIG_BLOCK, SIGALRM);
    sigaction(SIGALRM, &action, NULL);
    alarmed = 0;
    alarm(1);
    while (!alarmed)
        wait_for(SIGALRM);
    mask(SIG_UNBLOCK, SIGALRM);
}

#endif
