// The JavaScript side of tk::web::WaitRoused (toolkit/web/browser_wait.cpp): a promise that settles at its
// time or when roused. Module.braeRouse() is how the page's code (the serial glue first) ends a wait.
mergeInto(LibraryManager.library, {
  $BraeWait: {
    roused: false,  // a rouse with nobody waiting: the next wait ends at once
    wake: null,     // ends the wait in progress: wake(1) roused, wake(0) its time has come
    rouse: function() {
      if (BraeWait.wake) {
        BraeWait.wake(1);
      } else {
        BraeWait.roused = true;
      }
    },
    // One turn of the event loop without a timer: a background tab throttles timers to a second or more.
    turn: function(then) {
      if (typeof setImmediate === 'function') return setImmediate(then);
      var channel = new MessageChannel();
      channel.port1.onmessage = function() {
        channel.port1.close();
        then();
      };
      channel.port2.postMessage(0);
    },
    sleep: function(ms) {
      return new Promise(function(resolve) {
        var timer = null;
        BraeWait.wake = function(roused) {
          if (timer !== null) clearTimeout(timer);
          BraeWait.wake = null;
          resolve(roused);
        };
        var due = function() {
          if (BraeWait.wake) BraeWait.wake(0);
        };
        if (ms > 0) {
          timer = setTimeout(due, Math.min(ms, 0x7fffffff));
        } else {
          BraeWait.turn(due);
        }
      });
    },
  },
  $BraeWait__postset: 'Module["braeRouse"] = function() { BraeWait.rouse(); };',

  brae_wait_take_rouse__deps: ['$BraeWait'],
  brae_wait_take_rouse: function() {
    var roused = BraeWait.roused;
    BraeWait.roused = false;
    return roused ? 1 : 0;
  },
  brae_wait_rouse__deps: ['$BraeWait'],
  brae_wait_rouse: function() {
    BraeWait.rouse();
  },
});
