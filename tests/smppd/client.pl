#!/usr/bin/perl
# A second, independent SMPP client (ESME) for velquor-smppd's tests, built
# on Perl's Net::SMPP (Debian libnet-smpp-perl), which nobody here wrote.
# Test tool only.
#
#   perl client.pl --port N [--host H] [--system-id ID] [--password PW]
#                  [--binds trx|tx-rx] [--count N] [--kinds text,ucs2,concat]
#                  [--to NUMBER] [--from ADDR] [--registered-delivery 0|1]
#                  [--window W] [--deadline SECONDS]
#
# The same arguments and output as client.js: binds as a transceiver or as a
# transmitter and a receiver, submits N messages of the kinds in turn (text;
# UCS-2 with data_coding 8; a concatenated message of two parts with a UDH
# and esm_class 0x40), at most W unanswered, answers every deliver_sm with
# deliver_sm_resp 0, and prints one JSON object per line: bound,
# submit_resp {index, kind, part, parts, status, message_id}, deliver
# {esm_class, source, destination, text, receipted_message_id,
# message_state}, done {submitted, accepted, receipts, complete}. Exits 0
# once every accepted submit that asked for a receipt has one, 1 at the
# deadline or when a bind fails.
use strict;
use warnings;
use Encode qw(encode);
use Getopt::Long;
use IO::Select;
use JSON::PP;
use Time::HiRes qw(time);
use Net::SMPP;

my %o = (host => '127.0.0.1', port => 2775, 'system-id' => 'client', password => 'secret', binds => 'trx',
         count => 3, kinds => 'text,ucs2,concat', to => '447700900123', from => '12345',
         'registered-delivery' => 1, window => 10, deadline => 60);
GetOptions(\%o, 'host=s', 'port=i', 'system-id=s', 'password=s', 'binds=s', 'count=i', 'kinds=s', 'to=s',
           'from=s', 'registered-delivery=i', 'window=i', 'deadline=i') or die "bad arguments\n";

$| = 1;
my $json = JSON::PP->new->canonical->ascii;
sub emit { my ($event, %f) = @_; print $json->encode({event => $event, %f}), "\n"; }

# The submit_sm of every message, in order.
my @kinds = split /,/, $o{kinds};
my @submits;
for my $i (0 .. $o{count} - 1) {
  my $kind = $kinds[$i % @kinds];
  if ($kind eq 'ucs2') {
    my $text = encode('UCS-2BE', "Gr\x{fc}\x{df}e " . ($i + 1) . " \x{3a9}\x{3bc}\x{3ad}\x{3b3}\x{3b1}");
    push @submits, {index => $i, kind => $kind, part => 1, parts => 1, data_coding => 8, esm_class => 0,
                    short_message => $text};
  } elsif ($kind eq 'concat') {
    my @parts = ("Part one of message " . ($i + 1) . ", ", "and part two.");
    for my $n (0 .. $#parts) {
      my $udh = pack('C6', 5, 0, 3, ($i + 1) & 0xFF, scalar @parts, $n + 1);
      push @submits, {index => $i, kind => $kind, part => $n + 1, parts => scalar @parts, data_coding => 0,
                      esm_class => 0x40, short_message => $udh . $parts[$n]};
    }
  } else {
    push @submits, {index => $i, kind => 'text', part => 1, parts => 1, data_coding => 0, esm_class => 0,
                    short_message => 'Message ' . ($i + 1) . " from $o{'system-id'}"};
  }
}

my %connect = (port => $o{port}, system_id => $o{'system-id'}, password => $o{password}, smpp_version => 0x34,
               async => 1, timeout => 10);
my ($tx, $rx);

# Binds (waiting for the answer) and reports it.
sub bind_one {
  my ($command) = @_;
  my $s = Net::SMPP->new_connect($o{host}, %connect) or do { emit('error', message => "cannot connect: $!"); return };
  my $seq = $s->$command(system_id => $o{'system-id'}, password => $o{password});
  my $resp = $s->read_pdu();
  my $status = $resp ? $resp->{status} : -1;
  emit('bound', command => $command, status => $status);
  return $status == 0 ? $s : undef;
}

my $complete = JSON::PP::false;
my ($answered, $accepted, $receipts) = (0, 0, 0);
my $deadline = time + $o{deadline};
if ($o{binds} eq 'tx-rx') {
  $rx = bind_one('bind_receiver');
  $tx = $rx ? bind_one('bind_transmitter') : undef;
} else {
  $tx = $rx = bind_one('bind_transceiver');
}

if ($tx && $rx) {
  my $select = IO::Select->new($tx);
  $select->add($rx) if $rx != $tx;
  my ($next, $waiting) = (0, 0);
  my %pending;  # sequence -> submit
  my $done = sub {
    return 0 if $answered < @submits;
    return $receipts >= (($o{'registered-delivery'} & 3) ? $accepted : 0);
  };
  while (!$done->()) {
    while ($next < @submits && $waiting < $o{window}) {
      my $m = $submits[$next++];
      my $seq = $tx->submit_sm(source_addr_ton => 0, source_addr_npi => 0, source_addr => $o{from},
                               dest_addr_ton => 1, dest_addr_npi => 1, destination_addr => $o{to},
                               esm_class => $m->{esm_class}, data_coding => $m->{data_coding},
                               registered_delivery => $o{'registered-delivery'},
                               short_message => $m->{short_message});
      $pending{$seq} = $m;
      ++$waiting;
    }
    my $left = $deadline - time;
    last if $left <= 0;
    my @ready = $select->can_read($left) or next;
    for my $s (@ready) {
      my $pdu = $s->read_pdu();
      if (!$pdu) { emit('close'); $deadline = 0; last; }
      my $cmd = $pdu->{cmd};
      if ($cmd == 0x80000004) {
        my $m = delete $pending{$pdu->{seq}} or next;
        --$waiting;
        ++$answered;
        ++$accepted if $pdu->{status} == 0;
        my $id = $pdu->{message_id};
        $id =~ s/\0+$// if defined $id;
        emit('submit_resp', index => $m->{index}, kind => $m->{kind}, part => $m->{part}, parts => $m->{parts},
             status => $pdu->{status}, message_id => $pdu->{status} == 0 ? $id : undef);
      } elsif ($cmd == 0x00000005) {
        $s->deliver_sm_resp(seq => $pdu->{seq}, status => 0, message_id => '');
        my $receipt = ($pdu->{esm_class} & 0x3C) == 0x04;
        ++$receipts if $receipt;
        my $rid = $pdu->{receipted_message_id};
        $rid =~ s/\0+$// if defined $rid;
        my $state = defined $pdu->{message_state} ? unpack('C', $pdu->{message_state}) : undef;
        emit('deliver', esm_class => $pdu->{esm_class}, source => $pdu->{source_addr},
             destination => $pdu->{destination_addr}, text => $pdu->{short_message},
             receipted_message_id => $rid, message_state => $state);
      } elsif ($cmd == 0x00000015) {
        $s->enquire_link_resp(seq => $pdu->{seq});
      } elsif ($cmd == 0x00000006) {
        $s->unbind_resp(seq => $pdu->{seq});
        emit('unbound');
      }
    }
  }
  $complete = $done->() ? JSON::PP::true : JSON::PP::false;
}
emit('done', submitted => $answered, accepted => $accepted, receipts => $receipts, complete => $complete);
if ($complete) {
  for my $s ($tx == $rx ? ($tx) : ($tx, $rx)) {
    $s->unbind();
    my $select = IO::Select->new($s);
    # the unbind_resp, or whatever comes first within two seconds
    $s->read_pdu() if $select->can_read(2);
    close $s;
  }
}
exit($complete ? 0 : 1);
